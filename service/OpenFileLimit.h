#pragma once

#include <QtGlobal>

// The process's limit on open files, which bounds how many sockets can be open at once. Windows
// has no such limit on sockets: there every call allows everything.
class OpenFileLimit
{
public:
    // Raises the soft limit to the hard one, for the start of a program: desktop sessions often
    // give 1,024 where the hard limit allows far more.
    static void raiseToHard();
    // The soft limit; -1 where there is none.
    static qint64 soft();
    // Descriptors open now; 0 where unknown.
    static int openNow();
    // How many of wanted fit at once, each holding perItem descriptors, beside those open now
    // and reserve for the rest of the program: at least 1, at most wanted.
    static int fitting(int wanted, int perItem, int reserve);
};
