#ifndef VELA_PAGELIST_H
#define VELA_PAGELIST_H

#include <QString>
#include <QVector>

// A list of pages as a user of document tools writes it: one-based numbers and ranges joined
// by commas, "N" for the last page and "N-2" for two pages before it, so "1-3,7,N"; "-1" is the
// last page too and "-3" the same as "N-2", as mutool counts from the end. A range may run
// downwards ("5-3" is 5, 4, 3). The list is read once and resolved for each document, whose
// page count is what "N" stands for.
class PageList
{
public:
    // An empty message when text is a page list; why not otherwise.
    QString parse(const QString &text);

    struct Resolved
    {
        QVector<int> pages; // zero-based, in the order listed, each once
        bool outside = false; // some listed pages are not in the document
        int firstOutside = 0; // the first of those, zero-based (below 0 for N-k too far back)
    };
    Resolved resolve(int pageCount) const;

private:
    // One end of a range: a page counted from the start (one-based), or from the last page.
    struct End
    {
        bool fromLast = false;
        int value = 0; // the page number, or how many pages before the last
        int resolve(int pageCount) const { return fromLast ? pageCount - 1 - value : value - 1; }
    };
    struct Range
    {
        End first;
        End last;
    };

    QVector<Range> m_ranges;
};

#endif
