#include "app/common/NaturalOrder.h"

namespace NaturalOrder {

namespace {

qsizetype digitsEnd(QStringView text, qsizetype from) {
    while (from < text.size() && text[from].isDigit())
        ++from;
    return from;
}

} // namespace

int compare(QStringView a, QStringView b) {
    qsizetype i = 0;
    qsizetype j = 0;
    // Texts alike but for leading zeros or case still need an order, so that a sort is the same every time.
    int tie = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            const qsizetype aEnd = digitsEnd(a, i);
            const qsizetype bEnd = digitsEnd(b, j);
            qsizetype aFrom = i;
            qsizetype bFrom = j;
            while (aFrom + 1 < aEnd && a[aFrom] == QLatin1Char('0'))
                ++aFrom;
            while (bFrom + 1 < bEnd && b[bFrom] == QLatin1Char('0'))
                ++bFrom;
            // Without leading zeros the longer number is the larger; of equal length the digits decide, and a
            // number of any length never overflows.
            if (aEnd - aFrom != bEnd - bFrom)
                return aEnd - aFrom < bEnd - bFrom ? -1 : 1;
            if (const int digits = a.sliced(aFrom, aEnd - aFrom).compare(b.sliced(bFrom, bEnd - bFrom)))
                return digits;
            if (tie == 0 && aEnd - i != bEnd - j)
                tie = aEnd - i < bEnd - j ? -1 : 1;
            i = aEnd;
            j = bEnd;
            continue;
        }
        const QChar x = a[i].toCaseFolded();
        const QChar y = b[j].toCaseFolded();
        if (x != y)
            return x < y ? -1 : 1;
        if (tie == 0 && a[i] != b[j])
            tie = a[i] < b[j] ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size())
        return 1;
    if (j < b.size())
        return -1;
    return tie;
}

} // namespace NaturalOrder
