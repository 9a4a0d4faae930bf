#include "TargetSite.h"

using namespace Qt::StringLiterals;

TargetSite::TargetSite(QObject *parent) : DemoService(parent)
{
    setHandler([](const ReceivedRequest &request) {
        CannedResponse answer = CannedResponse::withStatus(404, "Not Found");
        if (request.path == u"/shop") {
            answer = CannedResponse::withStatus(200, shopPage());
            answer.addHeader("Content-Type", "text/html; charset=ISO-8859-1");
        } else if (request.path == u"/forbidden") {
            answer = CannedResponse::withStatus(403, "<html>no</html>");
        } else if (request.path == u"/moved") {
            answer = CannedResponse::withStatus(302);
            answer.addHeader("Location", portal().toLatin1());
        } else if (request.path == u"/ip") {
            answer = CannedResponse::withStatus(200, request.peerAddress.toLatin1() + "\n");
        }
        return std::optional(answer);
    });
}
