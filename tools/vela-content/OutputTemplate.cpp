#include "OutputTemplate.h"

#include <QCoreApplication>

OutputTemplate::OutputTemplate()
{
    parse(QStringLiteral("%b_%d.png"));
}

QString OutputTemplate::parse(const QString &text)
{
    QVector<Piece> pieces;
    const auto invalid = [&text] {
        return QCoreApplication::translate("OutputTemplate",
            "--output takes a file name with %d, %n, %0Nd, %0Nn, %b or %%, not \"%1\"")
            .arg(text);
    };
    QString literal;
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) != QLatin1Char('%')) {
            literal += text.at(i);
            continue;
        }
        if (++i >= text.size())
            return invalid();
        if (text.at(i) == QLatin1Char('%')) {
            literal += QLatin1Char('%');
            continue;
        }
        Piece piece;
        if (text.at(i) == QLatin1Char('0')) {
            // %0Nd: one or two digits of width; more would only make names unreadable.
            int digits = 0;
            while (i + 1 < text.size() && text.at(i + 1).isDigit() && digits < 2) {
                piece.width = piece.width * 10 + text.at(++i).digitValue();
                ++digits;
            }
            if (digits == 0 || piece.width == 0 || ++i >= text.size())
                return invalid();
        }
        const QChar kind = text.at(i);
        if (kind == QLatin1Char('d'))
            piece.kind = Piece::ZeroBased;
        else if (kind == QLatin1Char('n'))
            piece.kind = Piece::OneBased;
        else if (kind == QLatin1Char('b') && piece.width == 0)
            piece.kind = Piece::Base;
        else
            return invalid();
        if (!literal.isEmpty())
            pieces.append({Piece::Text, literal, 0});
        literal.clear();
        pieces.append(piece);
    }
    if (!literal.isEmpty())
        pieces.append({Piece::Text, literal, 0});
    if (pieces.isEmpty())
        return invalid();
    m_pieces = pieces;
    return QString();
}

QString OutputTemplate::fileName(const QString &base, int page) const
{
    QString name;
    for (const Piece &piece : m_pieces) {
        switch (piece.kind) {
        case Piece::Text:
            name += piece.text;
            break;
        case Piece::Base:
            name += base;
            break;
        case Piece::ZeroBased:
        case Piece::OneBased:
            name += QStringLiteral("%1").arg(
                page + (piece.kind == Piece::OneBased ? 1 : 0), piece.width, 10, QLatin1Char('0'));
            break;
        }
    }
    return name;
}

bool OutputTemplate::namesPages() const
{
    for (const Piece &piece : m_pieces) {
        if (piece.kind == Piece::ZeroBased || piece.kind == Piece::OneBased)
            return true;
    }
    return false;
}
