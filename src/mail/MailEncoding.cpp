#include "mail/MailEncoding.h"

#include <algorithm>
#include <cstdio>

#include <QDateTime>
#include <QTimeZone>

namespace corvane::mail {

namespace {

constexpr int FoldWidth = 78;
constexpr int WordLine = 76;  // RFC 2047: a line holding an encoded word stays within 76
constexpr int WordFrame = 12; // "=?UTF-8?B?" and "?="

// How many bytes fit into one encoded word on a line that already holds `used`.
int wordBytes(int used)
{
    const int chars = qMax(4, WordLine - used - WordFrame) / 4 * 4;
    return chars / 4 * 3;
}

bool isControl(char32_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029;
}

bool isPlainAscii(const QString &text)
{
    for (QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            return false;
    }
    return true;
}

// Splits UTF-8 into pieces that fit an encoded word each, without cutting a
// character; the first piece shares its line with the header name.
QList<QByteArray> utf8Pieces(const QByteArray &utf8, int used)
{
    QList<QByteArray> pieces;
    int start = 0;
    while (start < utf8.size()) {
        const int limit = wordBytes(pieces.isEmpty() ? used : 1);
        int end = qMin(start + limit, static_cast<int>(utf8.size()));
        // Step back over continuation bytes so a character is never split.
        while (end < utf8.size() && end > start && (static_cast<uchar>(utf8[end]) & 0xC0) == 0x80)
            --end;
        if (end == start)
            end = qMin(start + limit, static_cast<int>(utf8.size()));
        pieces.append(utf8.mid(start, end - start));
        start = end;
    }
    return pieces;
}

QByteArray encodedWords(const QString &text, int used)
{
    QByteArray out;
    const QList<QByteArray> pieces = utf8Pieces(text.toUtf8(), used);
    for (int i = 0; i < pieces.size(); ++i) {
        if (i > 0)
            out += "\r\n ";
        out += "=?UTF-8?B?" + pieces[i].toBase64() + "?=";
    }
    return out;
}

// Folds plain ASCII before spaces; unfolding (removing CR LF) gives the text back.
QByteArray foldAscii(const QByteArray &text, int used)
{
    QByteArray out;
    int lineLength = used;
    bool lineHasWord = false;
    int pos = 0;
    while (pos < text.size()) {
        // A chunk is the run of spaces in front of a word plus the word.
        int end = pos;
        while (end < text.size() && text[end] == ' ')
            ++end;
        while (end < text.size() && text[end] != ' ')
            ++end;
        const QByteArray chunk = text.mid(pos, end - pos);
        if (lineLength + chunk.size() > FoldWidth && lineHasWord && chunk.startsWith(' ')) {
            out += "\r\n";
            lineLength = 0;
        }
        lineHasWord = true;
        out += chunk;
        lineLength += chunk.size();
        pos = end;
    }
    return out;
}

bool hasLongWord(const QString &text)
{
    const QStringList words = text.split(QLatin1Char(' '));
    for (const QString &word : words) {
        if (word.size() > 900)
            return true;
    }
    return false;
}

} // namespace

QString replaceControls(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (QChar c : text)
        out += isControl(c.unicode()) ? QChar(QLatin1Char(' ')) : c;
    return out;
}

QByteArray encodeHeaderText(const QString &text, int used)
{
    const QString clean = replaceControls(text);
    // "=?" in plain text would be read back as the start of an encoded word.
    if (isPlainAscii(clean) && !clean.contains(QLatin1String("=?")) && !hasLongWord(clean))
        return foldAscii(clean.toLatin1(), used);
    return encodedWords(clean, used);
}

QByteArray encodeDisplayName(const QString &name, int used)
{
    const QString clean = replaceControls(name);
    if (!isPlainAscii(clean) || clean.contains(QLatin1String("=?")) || clean.size() > 900)
        return encodedWords(clean, used);
    static const QByteArray specials("()<>[]:;@\\,.\"");
    const QByteArray ascii = clean.toLatin1();
    bool needsQuotes = ascii.startsWith(' ') || ascii.endsWith(' ') || ascii.contains("  ");
    for (char c : ascii)
        needsQuotes = needsQuotes || specials.contains(c);
    if (!needsQuotes)
        return ascii;
    QByteArray quoted("\"");
    for (char c : ascii) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

QByteArray normaliseLineEnds(const QByteArray &text)
{
    QByteArray out;
    out.reserve(text.size() + text.size() / 32 + 2);
    for (int i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    if (!out.endsWith("\r\n"))
        out += "\r\n";
    return out;
}

QByteArray encodeQuotedPrintable(const QByteArray &crlfText)
{
    static const char hex[] = "0123456789ABCDEF";
    constexpr int MaxLine = 76;
    QByteArray out;
    out.reserve(crlfText.size() + crlfText.size() / 8 + 8);

    int lineStart = 0;
    while (lineStart < crlfText.size()) {
        int lineEnd = crlfText.indexOf("\r\n", lineStart);
        const bool hardBreak = lineEnd >= 0;
        if (!hardBreak)
            lineEnd = crlfText.size();

        int column = 0;
        for (int i = lineStart; i < lineEnd; ++i) {
            const uchar c = static_cast<uchar>(crlfText[i]);
            const bool last = i + 1 == lineEnd;
            const bool literal = (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last);
            const int width = literal ? 1 : 3;
            // Keep room for the '=' of a soft break unless this is the line's last character.
            const int room = last ? MaxLine : MaxLine - 1;
            if (column + width > room) {
                out += "=\r\n";
                column = 0;
            }
            if (literal) {
                out += static_cast<char>(c);
            } else {
                out += '=';
                out += hex[c >> 4];
                out += hex[c & 0x0F];
            }
            column += width;
        }
        if (hardBreak)
            out += "\r\n";
        lineStart = lineEnd + (hardBreak ? 2 : 0);
    }
    return out;
}

QByteArray formatDate(const QDateTime &when)
{
    static const char *const days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const QDate date = when.date();
    const QTime time = when.time();
    const int offsetMinutes = when.offsetFromUtc() / 60;
    const int absOffset = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    char out[64];
    const int length = std::snprintf(out, sizeof out, "%s, %02d %s %04d %02d:%02d:%02d %c%02d%02d",
                                     days[date.dayOfWeek() - 1], date.day(), months[date.month() - 1],
                                     date.year(), time.hour(), time.minute(), time.second(),
                                     offsetMinutes < 0 ? '-' : '+', absOffset / 60, absOffset % 60);
    return QByteArray(out, std::clamp(length, 0, int(sizeof out) - 1));
}

} // namespace corvane::mail
