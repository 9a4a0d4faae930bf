#pragma once

#include <QByteArray>
#include <QtGlobal>

// An entry's last results for the History column in eight bytes: a long list's history must
// not cost more than its results.
class ResultStrip
{
public:
    static constexpr int length = 20;

    // Keeps the newest length codes; codes are 0 to 5.
    void push(int code);
    bool isEmpty() const { return bits == empty; }
    // Oldest first.
    QByteArray codes() const;
    // Access Denied, Timeout and Error among them.
    int failures() const;

private:
    // 3 bits a slot, the newest lowest; an empty slot holds 7.
    static constexpr quint64 slotMask = 7;
    static constexpr quint64 empty = (quint64(1) << (3 * length)) - 1;
    int codeAt(int slot) const { return int((bits >> (3 * slot)) & slotMask); }

    quint64 bits = empty;
};
