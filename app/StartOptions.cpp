#include "StartOptions.h"

using namespace Qt::StringLiterals;

StartOptions StartOptions::parse(const QStringList &arguments)
{
    StartOptions options;
    // The first is the program.
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == u"--tray"_s) {
            options.tray = true;
        } else if (argument == u"--forget"_s) {
            options.forget = true;
        } else if (argument.startsWith(u"--workdir="_s)) {
            options.workDir = argument.mid(10);
        } else if (argument == u"--workdir"_s) {
            if (i + 1 < arguments.size())
                options.workDir = arguments.at(++i);
            else
                options.error = u"--workdir needs a folder"_s;
        }
    }
    if (options.error.isEmpty() && arguments.contains(u"--workdir="_s))
        options.error = u"--workdir needs a folder"_s;
    return options;
}
