#include "app/common/NaturalOrder.h"

#include <algorithm>

namespace {

// <0, 0, >0 as a before, equal to, after b, case aside.
int compareNaturally(const QString& a, const QString& b) {
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            // Leading zeros say nothing of the value; then the longer run is the larger number.
            while (i < a.size() && a[i] == QLatin1Char('0'))
                ++i;
            while (j < b.size() && b[j] == QLatin1Char('0'))
                ++j;
            qsizetype endA = i;
            qsizetype endB = j;
            while (endA < a.size() && a[endA].isDigit())
                ++endA;
            while (endB < b.size() && b[endB].isDigit())
                ++endB;
            if (endA - i != endB - j)
                return endA - i < endB - j ? -1 : 1;
            if (const int digits = QStringView(a).mid(i, endA - i).compare(QStringView(b).mid(j, endB - j)))
                return digits;
            i = endA;
            j = endB;
            continue;
        }
        const QChar x = a[i].toCaseFolded();
        const QChar y = b[j].toCaseFolded();
        if (x != y)
            return x < y ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size())
        return i < a.size() ? 1 : -1;
    return 0;
}

} // namespace

bool naturalLess(const QString& a, const QString& b) {
    const int order = compareNaturally(a, b);
    return order != 0 ? order < 0 : a < b;
}

void sortNaturally(QStringList& names) {
    std::sort(names.begin(), names.end(), naturalLess);
}
