#pragma once

#include "storage/Result.h"

#include <QByteArray>
#include <QString>

#include <memory>

namespace corvane {

// An INI file held in memory with the Windows profile-string rules: section and
// key names match without regard to ASCII case, the first match wins, blanks
// around '=' are ignored and matching quotes around a value are dropped on
// reading. Every line the program does not own keeps its bytes, and the file
// keeps its line-end style (CR LF or LF) and its encoding (UTF-8, or
// Windows-1252 for files carried over from the Windows program).
class IniFile {
public:
    IniFile();
    ~IniFile();
    IniFile(IniFile &&) noexcept;
    IniFile &operator=(IniFile &&) noexcept;

    // Replaces the document with the file's contents. A missing file gives an
    // empty document and is not an error. Anything else that cannot be read
    // whole (no permission, not a regular file, larger than MaxFileSize) also
    // leaves an empty document but fails, so a caller about to rewrite the file
    // refuses instead of dropping every line it could not see.
    Result load(const QString &path);
    static IniFile fromBytes(const QByteArray &bytes);

    // A full settings file is about 40 KB. A file far larger is no settings
    // file, and reading it whole would hold up the start for as long as it takes.
    static constexpr qint64 MaxFileSize = 1024 * 1024;

    // The longest value ReadSetting hands back, as the Windows program did.
    static constexpr int MaxReadLength = 254;

    // Full stored value, unquoted; the 254-character cut of ReadSetting is not
    // applied here.
    QString value(const QString &section, const QString &key, const QString &defaultValue) const;
    // value() cut to MaxReadLength characters, as ReadSetting returns it.
    QString readSetting(const QString &section, const QString &key,
                        const QString &defaultValue) const;
    bool contains(const QString &section, const QString &key) const;

    // Replaces an existing key in place; a missing key goes at the end of its
    // section, a missing section at the end of the file. CR and LF become spaces.
    // A value that would read back differently (blanks at either end, or
    // enclosed in matching quotes) is written inside double quotes, which every
    // profile-string reader strips again.
    void setValue(const QString &section, const QString &key, const QString &value);

    QByteArray toBytes() const;

    // Writes the whole document in one step (temporary file, flush, rename), so
    // a crash leaves the old file or the new one. A new file is created
    // readable by its owner only; an existing file keeps its mode.
    Result save(const QString &path) const;

private:
    struct Data;
    std::unique_ptr<Data> d;
};

// One value from the file; the default when the file, section or key is missing.
// At most 254 characters come back.
QString ReadSetting(const QString &fileName, const QString &section, const QString &key,
                    const QString &defaultValue);

// One value into the file, created when missing.
Result WriteSetting(const QString &fileName, const QString &section, const QString &key,
                    const QString &value);

} // namespace corvane
