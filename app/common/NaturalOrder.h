#pragma once

#include <QStringView>

// Host names and addresses as people order them: runs of digits compare by their value, so 127.0.1.2 comes
// before 127.0.1.10 and host9 before host10; the rest compares without regard to case.
namespace NaturalOrder {

// Negative, zero or positive as `a` comes before, with or after `b`.
[[nodiscard]] int compare(QStringView a, QStringView b);
[[nodiscard]] inline bool less(QStringView a, QStringView b) {
    return compare(a, b) < 0;
}

} // namespace NaturalOrder
