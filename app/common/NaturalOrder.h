#pragma once

#include <QString>
#include <QStringList>

// Names as people count them: runs of digits compare by their value, so 127.0.1.2 comes before 127.0.1.10 and
// host9 before host10; other characters compare without regard to case, and only a tie is broken by it.
[[nodiscard]] bool naturalLess(const QString& a, const QString& b);
void sortNaturally(QStringList& names);
