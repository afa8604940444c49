#include "PageList.h"

#include <QCoreApplication>
#include <QSet>

namespace {

// A whole number of at most six digits: no document has a million pages, and more digits
// would overflow before they were refused.
bool readNumber(const QString &text, int *at, int *value)
{
    int end = *at;
    while (end < text.size() && text.at(end).isDigit() && end - *at < 7)
        ++end;
    if (end == *at || end - *at > 6)
        return false;
    *value = text.mid(*at, end - *at).toInt();
    *at = end;
    return true;
}

} // namespace

QString PageList::parse(const QString &text)
{
    m_ranges.clear();
    // Greedy: "N-2" is the page two before the last, and "N-2-1" runs from there to page 1.
    // "-1" is the last page, "-2" the one before it, as in mutool.
    const auto readEnd = [](const QString &item, int *at, End *end) {
        int position = *at;
        end->value = 0;
        end->fromLast = position < item.size()
            && (item.at(position) == QLatin1Char('N') || item.at(position) == QLatin1Char('-'));
        if (end->fromLast && item.at(position) == QLatin1Char('-')) {
            ++position;
            if (!readNumber(item, &position, &end->value) || end->value < 1)
                return false;
            --end->value;
        } else if (end->fromLast) {
            ++position;
            if (position + 1 < item.size() && item.at(position) == QLatin1Char('-')
                && item.at(position + 1).isDigit()) {
                ++position;
                if (!readNumber(item, &position, &end->value))
                    return false;
            }
        } else if (!readNumber(item, &position, &end->value) || end->value < 1) {
            return false;
        }
        *at = position;
        return true;
    };
    const QStringList items = text.split(QLatin1Char(','));
    for (const QString &untrimmed : items) {
        const QString item = untrimmed.trimmed();
        Range range;
        int at = 0;
        bool ok = readEnd(item, &at, &range.first);
        range.last = range.first;
        if (ok && at < item.size()) {
            ok = item.at(at) == QLatin1Char('-');
            ++at;
            ok = ok && readEnd(item, &at, &range.last);
        }
        if (!ok || at != item.size()) {
            m_ranges.clear();
            return QCoreApplication::translate("PageList",
                "--pages takes one-based pages and ranges such as 1-3,7,N or N-2-N, not \"%1\"")
                .arg(text);
        }
        m_ranges.append(range);
    }
    return QString();
}

PageList::Resolved PageList::resolve(int pageCount) const
{
    Resolved resolved;
    QSet<int> seen;
    for (const Range &range : m_ranges) {
        const int first = range.first.resolve(pageCount);
        const int last = range.last.resolve(pageCount);
        const int step = last >= first ? 1 : -1;
        for (int page = first;; page += step) {
            if (page < 0 || page >= pageCount) {
                if (!resolved.outside)
                    resolved.firstOutside = page;
                resolved.outside = true;
            } else if (!seen.contains(page)) {
                seen.insert(page);
                resolved.pages.append(page);
            }
            if (page == last)
                break;
        }
    }
    return resolved;
}
