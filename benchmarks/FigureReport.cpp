#include "FigureReport.h"

#include "BenchUtil.h"

using namespace Qt::StringLiterals;

namespace {

constexpr int nameWidth = 52;
constexpr int valueWidth = 16;

} // namespace

FigureReport::FigureReport(const QString &program) : m_program(program) {}

QString FigureReport::prefix() const
{
    return u"["_s % m_program % u"] "_s;
}

bool FigureReport::figure(const QString &name, double value, const QString &unit,
                          const QString &goal, bool pass, int decimals)
{
    const QString shown = bench::number(value, decimals) % u' ' % unit;
    bench::printLine(prefix() % name.leftJustified(nameWidth, u' ') %
                     shown.rightJustified(valueWidth, u' ') % u"   goal: "_s %
                     goal.leftJustified(22, u' ') % (pass ? u"PASS"_s : u"MISS"_s));
    ++(pass ? m_passed : m_missed);
    return pass;
}

void FigureReport::info(const QString &name, double value, const QString &unit, int decimals)
{
    const QString shown = bench::number(value, decimals) % u' ' % unit;
    bench::printLine(prefix() % name.leftJustified(nameWidth, u' ') %
                     shown.rightJustified(valueWidth, u' '));
}

void FigureReport::note(const QString &text)
{
    bench::printLine(prefix() % text);
}

void FigureReport::error(const QString &text)
{
    m_failed = true;
    bench::printLine(prefix() % u"ERROR: "_s % text);
}

int FigureReport::finish()
{
    QString verdict =
        QString::number(m_passed) % u" PASS, "_s % QString::number(m_missed) % u" MISS"_s;
    if (m_failed)
        verdict += u", could not measure everything"_s;
    bench::printLine(prefix() % u"done: "_s % verdict);
    if (m_failed)
        return 2;
    return m_missed > 0 ? 1 : 0;
}
