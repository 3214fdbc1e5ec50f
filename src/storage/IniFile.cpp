#include "storage/IniFile.h"

#include "storage/FileSystem.h"
#include "storage/TextCodec.h"

#include <utility>
#include <vector>

namespace corvane {

namespace {

const QByteArray kUtf8Bom("\xEF\xBB\xBF");

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

QString trimBlanks(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return text.mid(begin, end - begin).toString();
}

// The profile-string rule is ASCII-only: "I" and "i" match, "Ä" and "ä" do not.
bool sameName(const QString &a, const QString &b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        char16_t x = a[i].unicode();
        char16_t y = b[i].unicode();
        if (x >= 'A' && x <= 'Z')
            x += 'a' - 'A';
        if (y >= 'A' && y <= 'Z')
            y += 'a' - 'A';
        if (x != y)
            return false;
    }
    return true;
}

bool isQuote(QChar c)
{
    return c == QLatin1Char('"') || c == QLatin1Char('\'');
}

QString unquote(const QString &value)
{
    if (value.size() >= 2 && isQuote(value.front()) && value.back() == value.front())
        return value.mid(1, value.size() - 2);
    return value;
}

// A stored value must stay on its line; the caller's text is not touched.
QString singleLine(QString text)
{
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text;
}

// The text to put after '=' so that reading it back gives `value` exactly.
QString storedForm(const QString &value)
{
    const bool needsQuotes = !value.isEmpty()
        && (isBlank(value.front()) || isBlank(value.back()) || unquote(value).size() != value.size());
    return needsQuotes ? QLatin1Char('"') + value + QLatin1Char('"') : value;
}

enum class Kind { Other, Section, Key };

struct Line {
    QByteArray raw; // the bytes on disk, terminator excluded
    QByteArray eol; // "\r\n", "\n", or empty on an unterminated last line
    QString text;
    Kind kind = Kind::Other;
    QString name;        // section or key name, blanks trimmed
    qsizetype equals = 0; // for keys: where the '=' stands
};

void classify(Line &line)
{
    const QString &t = line.text;
    qsizetype i = 0;
    while (i < t.size() && isBlank(t[i]))
        ++i;
    line.kind = Kind::Other;
    if (i == t.size() || t[i] == QLatin1Char(';') || t[i] == QLatin1Char('#'))
        return;
    if (t[i] == QLatin1Char('[')) {
        const qsizetype close = t.indexOf(QLatin1Char(']'), i + 1);
        line.kind = Kind::Section;
        line.name = trimBlanks(QStringView(t).mid(i + 1, (close < 0 ? t.size() : close) - i - 1));
        return;
    }
    const qsizetype eq = t.indexOf(QLatin1Char('='), i);
    if (eq < 0)
        return;
    line.kind = Kind::Key;
    line.name = trimBlanks(QStringView(t).mid(i, eq - i));
    line.equals = eq;
}

QString valueOf(const Line &line)
{
    return unquote(trimBlanks(QStringView(line.text).mid(line.equals + 1)));
}

// What follows '=' when the program writes `value` to an existing line: a
// "Key = value" line keeps its one blank, anything else gets "Key=value".
QString afterEquals(const Line &line, const QString &value)
{
    const bool spaced = line.equals > 0 && isBlank(line.text[line.equals - 1]);
    return (spaced ? QStringLiteral(" ") : QString()) + storedForm(value);
}

} // namespace

struct IniFile::Data {
    std::vector<Line> lines;
    bool utf8 = true;
    bool bom = false;
    QByteArray newline = "\n";

    // Sets a line's text; a file in the system's code page (Windows-1252 on
    // Linux) that cannot hold it becomes UTF-8 as a whole, so every character
    // of every line survives. Its non-ASCII bytes change, but no text is lost
    // or mixed with another encoding.
    void setText(Line &line, const QString &text)
    {
        line.text = text;
        classify(line);
        bool fits = true;
        if (!utf8) {
            line.raw = encodeSystemCodePage(text, &fits);
            // Bytes that are no UTF-8 are what mark the file as the code page's.
            // Once none is left it would be read back as UTF-8, and every
            // non-ASCII character in it as something else: it becomes UTF-8 now.
            if (fits && readsAsUtf8(joinedRaw(), bom))
                fits = false;
        }
        if (!fits) {
            utf8 = true;
            for (Line &other : lines)
                other.raw = other.text.toUtf8();
        }
        if (utf8)
            line.raw = text.toUtf8();
    }

    QByteArray joinedRaw() const
    {
        QByteArray all;
        for (const Line &l : lines)
            all += l.raw + '\n';
        return all;
    }

    qsizetype findSection(const QString &section) const
    {
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (lines[i].kind == Kind::Section && sameName(lines[i].name, section))
                return static_cast<qsizetype>(i);
        return -1;
    }

    // The key's line, or -1; `lastKey` receives the section's last key line (or
    // its header) so a new key can follow it.
    qsizetype findKey(qsizetype header, const QString &key, qsizetype *lastKey = nullptr) const
    {
        if (lastKey)
            *lastKey = header;
        for (auto i = static_cast<std::size_t>(header) + 1; i < lines.size(); ++i) {
            if (lines[i].kind == Kind::Section)
                break;
            if (lines[i].kind != Kind::Key)
                continue;
            if (sameName(lines[i].name, key))
                return static_cast<qsizetype>(i);
            if (lastKey)
                *lastKey = static_cast<qsizetype>(i);
        }
        return -1;
    }

    const Line *find(const QString &section, const QString &key) const
    {
        const qsizetype header = findSection(section);
        const qsizetype at = header < 0 ? -1 : findKey(header, key);
        return at < 0 ? nullptr : &lines[static_cast<std::size_t>(at)];
    }

    void insertLine(qsizetype after, const QString &text)
    {
        // Whatever follows a line needs that line to end.
        if (after >= 0) {
            QByteArray &eol = lines[static_cast<std::size_t>(after)].eol;
            if (eol.isEmpty())
                eol = newline;
            else if (eol == "\r")
                eol = "\r\n";
        }
        Line line;
        line.eol = newline;
        auto it = lines.insert(lines.begin() + (after + 1), std::move(line));
        setText(*it, text);
    }
};

IniFile::IniFile()
    : d(std::make_unique<Data>())
{
}

IniFile::~IniFile() = default;
IniFile::IniFile(IniFile &&) noexcept = default;
IniFile &IniFile::operator=(IniFile &&) noexcept = default;

IniFile IniFile::fromBytes(const QByteArray &bytes)
{
    IniFile ini;
    Data &data = *ini.d;
    QByteArray body = bytes;
    // The mark goes whatever follows it: left in place it would become part of
    // the first section's name and hide that section. It is written back as
    // it was found.
    if (body.startsWith(kUtf8Bom)) {
        data.bom = true;
        body.remove(0, kUtf8Bom.size());
    }
    data.utf8 = readsAsUtf8(body, data.bom);

    qsizetype pos = 0;
    bool styleKnown = false;
    while (pos < body.size()) {
        const qsizetype lf = body.indexOf('\n', pos);
        const qsizetype end = lf < 0 ? body.size() : lf;
        const bool crlf = lf > pos && body[lf - 1] == '\r';
        // A file cut off between CR and LF: the CR ends the last line, as it
        // does once the next line is added.
        const bool cutCrlf = lf < 0 && end > pos && body[end - 1] == '\r';
        Line line;
        line.raw = body.mid(pos, end - pos - (crlf || cutCrlf ? 1 : 0));
        line.eol = crlf ? QByteArray("\r\n") : cutCrlf ? QByteArray("\r") : lf < 0 ? QByteArray() : QByteArray("\n");
        line.text = data.utf8 ? QString::fromUtf8(line.raw) : decodeSystemCodePage(line.raw);
        classify(line);
        if (!styleKnown && lf >= 0) {
            data.newline = line.eol;
            styleKnown = true;
        }
        data.lines.push_back(std::move(line));
        pos = end + 1;
    }
    return ini;
}

Result IniFile::load(const QString &path)
{
    *this = IniFile();
    QByteArray bytes;
    bool missing = false;
    if (Result read = fs::readRegularFile(path, MaxFileSize, &bytes, &missing); !read)
        return Result::failure(QStringLiteral("Cannot read %1: %2").arg(path, read.error));
    if (!missing)
        *this = fromBytes(bytes);
    return Result::success();
}

QString IniFile::value(const QString &section, const QString &key, const QString &defaultValue) const
{
    const Line *line = d->find(section, key);
    return line ? valueOf(*line) : defaultValue;
}

QString IniFile::readSetting(const QString &section, const QString &key,
                             const QString &defaultValue) const
{
    QString text = value(section, key, defaultValue);
    if (text.size() > MaxReadLength) {
        // Never hand back half of a surrogate pair.
        text.truncate(text.at(MaxReadLength - 1).isHighSurrogate() ? MaxReadLength - 1 : MaxReadLength);
    }
    return text;
}

bool IniFile::contains(const QString &section, const QString &key) const
{
    return d->find(section, key) != nullptr;
}

void IniFile::setValue(const QString &section, const QString &key, const QString &value)
{
    const QString sectionName = singleLine(section);
    const QString keyName = singleLine(key);
    const QString text = singleLine(value);

    const qsizetype header = d->findSection(sectionName);
    if (header < 0) {
        if (!d->lines.empty() && !d->lines.back().text.trimmed().isEmpty())
            d->insertLine(static_cast<qsizetype>(d->lines.size()) - 1, QString());
        d->insertLine(static_cast<qsizetype>(d->lines.size()) - 1,
                      QLatin1Char('[') + sectionName + QLatin1Char(']'));
        d->insertLine(static_cast<qsizetype>(d->lines.size()) - 1,
                      keyName + QLatin1Char('=') + storedForm(text));
        return;
    }
    qsizetype lastKey = header;
    const qsizetype at = d->findKey(header, keyName, &lastKey);
    if (at < 0) {
        d->insertLine(lastKey, keyName + QLatin1Char('=') + storedForm(text));
        return;
    }
    Line &line = d->lines[static_cast<std::size_t>(at)];
    const QString tail = afterEquals(line, text);
    if (line.text.mid(line.equals + 1) != tail) // an unchanged line keeps its bytes
        d->setText(line, line.text.left(line.equals + 1) + tail);
}

QByteArray IniFile::toBytes() const
{
    QByteArray out;
    if (d->bom)
        out += kUtf8Bom;
    for (const Line &line : d->lines) {
        out += line.raw;
        out += line.eol;
    }
    return out;
}

Result IniFile::save(const QString &path) const
{
    // The file holds the account password: a new one is for its owner only;
    // an existing one keeps who may read it.
    if (Result saved = fs::replaceFile(path, toBytes(), fs::Permissions::KeepOrOwnerOnly); !saved)
        return Result::failure(QStringLiteral("Cannot write %1: %2").arg(path, saved.error));
    return Result::success();
}

QString ReadSetting(const QString &fileName, const QString &section, const QString &key,
                    const QString &defaultValue)
{
    IniFile ini;
    (void)ini.load(fileName); // an unreadable file reads as missing: the default
    return ini.readSetting(section, key, defaultValue);
}

Result WriteSetting(const QString &fileName, const QString &section, const QString &key,
                    const QString &value)
{
    IniFile ini;
    if (Result loaded = ini.load(fileName); !loaded)
        return loaded;
    ini.setValue(section, key, value);
    return ini.save(fileName);
}

} // namespace corvane
