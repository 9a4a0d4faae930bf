#pragma once

#include <QString>

// The values of config.ini that any front end uses; no widgets. An empty value counts as absent.
class ClientConfig
{
public:
    // Reads the file without ever creating or writing it.
    static ClientConfig load(const QString &fileName = QStringLiteral("config.ini"));

    // The file's PARALLEL_TESTS text as a number of tests at once: 1 to the tester's bound.
    static int parallelTestsFrom(const QString &text);

    QString apiUrl;
    QString pingUrl;
    QString titleText;
    QString logoUrl;
    int parallelTests = 1;
};
