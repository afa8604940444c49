#ifndef VELA_OUTPUTTEMPLATE_H
#define VELA_OUTPUTTEMPLATE_H

#include <QString>
#include <QVector>

// The name of each PNG written, from a template: %d is the zero-based page, %n the one-based
// page, %0Nd and %0Nn the same zero-padded to N digits (so that ls sorts pages in order), %b
// the base name of the file read and %% a percent sign. The default is "%b_%d.png".
class OutputTemplate
{
public:
    OutputTemplate();

    // An empty message when text is a template; why not otherwise.
    QString parse(const QString &text);

    QString fileName(const QString &base, int page) const;
    // Whether the name changes with the page; without it every page of a file gets one name.
    bool namesPages() const;

private:
    struct Piece
    {
        enum Kind { Text, Base, ZeroBased, OneBased } kind = Text;
        QString text;
        int width = 0;
    };
    QVector<Piece> m_pieces;
};

#endif
