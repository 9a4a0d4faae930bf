#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QPair>

// Reads an HTTP/1.x answer as it arrives: the status line and headers, then the body framed by
// its length, by chunks, or by the end of the connection. Interim 1xx answers are skipped. Every
// part that has no bound in the protocol has one here, so a hostile peer cannot make it grow.
class HttpResponseParser
{
public:
    enum class State
    {
        Head,
        Body,
        Done,
        Failed
    };

    static constexpr qsizetype maxHeadBytes = 64 * 1024;
    static constexpr qsizetype maxHeaders = 100;

    // An answer without a body whatever its headers say: one to CONNECT or to HEAD.
    explicit HttpResponseParser(bool bodiless = false) : bodiless(bodiless) {}

    // Takes what it can of data; the body's bytes are appended to body. Returns how many bytes
    // were taken: fewer than given once the answer is done or broken.
    qsizetype feed(QByteArrayView data, QByteArray &body);
    // The connection ended: an answer framed by it is then done, any other broken.
    void closed();

    State state() const { return current; }
    // The status line and headers are in, whatever came after them.
    bool hasHead() const { return headDone; }
    int status() const { return code; }
    const QByteArray &reason() const { return phrase; }
    const QList<QPair<QByteArray, QByteArray>> &headers() const { return fields; }
    QByteArray header(QByteArrayView name) const;

private:
    enum class Framing
    {
        Length,
        Chunked,
        UntilClose
    };
    enum class ChunkPart
    {
        Size,
        Data,
        DataEnd,
        Trailer
    };

    qsizetype feedHead(QByteArrayView data);
    bool takeHeadLine(QByteArrayView line);
    void headEnded();
    qsizetype feedBody(QByteArrayView data, QByteArray &body);
    qsizetype feedChunked(QByteArrayView data, QByteArray &body);
    // Takes data up to its first line end into pending (used: how much), at most maxLine bytes
    // in all, past which it fails. True when the line ended there; it is then in line.
    bool takeLine(QByteArrayView data, qsizetype maxLine, qsizetype &used, QByteArray &line);
    void fail() { current = State::Failed; }

    const bool bodiless;
    State current = State::Head;
    Framing framing = Framing::UntilClose;
    ChunkPart chunkPart = ChunkPart::Size;
    qint64 remaining = 0;
    qsizetype headBytes = 0;
    bool statusSeen = false;
    bool headDone = false;
    int code = 0;
    QByteArray phrase;
    QList<QPair<QByteArray, QByteArray>> fields;
    QByteArray pending;
};
