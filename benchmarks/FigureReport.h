#pragma once

#include <QString>

// Prints a benchmark's figures, each with its goal and PASS or MISS, and keeps the verdict.
class FigureReport
{
public:
    explicit FigureReport(const QString &program);

    // Returns pass, so a caller can branch on it.
    bool figure(const QString &name, double value, const QString &unit, const QString &goal,
                bool pass, int decimals = 1);
    // A figure without a goal of its own, shown for context.
    void info(const QString &name, double value, const QString &unit, int decimals = 1);
    void note(const QString &text);
    // The benchmark could not measure; its figures are incomplete.
    void error(const QString &text);

    // Prints the verdict line; 0 all PASS, 1 some MISS, 2 could not measure.
    int finish();

private:
    QString prefix() const;

    QString m_program;
    int m_passed = 0;
    int m_missed = 0;
    bool m_failed = false;
};
