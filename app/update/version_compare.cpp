#include "app/update/version_compare.h"

#include <QtCore/QList>

#include <algorithm>
#include <cstdint>

#include "app/update/leading_int_value.h"

namespace ambrel::app {

bool isVersionBiggerThanVersion(const QString& candidate, const QString& current)
{
    const QList<QStringView> a = QStringView(candidate).split(u'.');
    const QList<QStringView> b = QStringView(current).split(u'.');
    const qsizetype common = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < common; ++i) {
        const int left = leadingIntValue(a[i]);
        const int right = leadingIntValue(b[i]);
        if (left != right) {
            return left > right;
        }
    }
    if (a.size() <= b.size()) {
        return false;
    }
    std::int64_t rest = 0;
    for (qsizetype i = common; i < a.size(); ++i) {
        rest += leadingIntValue(a[i]);
    }
    return rest > 0;
}

}  // namespace ambrel::app
