// Reads arbitrary bytes as Corvane.ini, sets one value, writes the document and
// reads what was written: nothing may crash, and the value set must read back
// (line breaks in it stored as spaces, as the writer promises).
//
// The input is split by FuzzedDataProvider into the section and key names, the
// value and, with what is left, the file.

#include "FuzzInvariant.h"
#include "storage/IniFile.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace corvane;
using corvane::fuzz::check;

namespace {

// Names as the program uses them: letters, digits and '_', here in either case
// and with a few non-ASCII letters, so the case rules are exercised too. Names
// holding '=', ']' or a line break are no names the program ever writes.
QString nameFrom(std::uint8_t seed, FuzzedDataProvider &input)
{
    static const char16_t alphabet[] = u"aAbBkKsS_19 \u00C4\u00E4\u00DF";
    const int length = 1 + seed % 12;
    QString name;
    for (int i = 0; i < length; ++i)
        name += QChar(alphabet[input.ConsumeIntegralInRange<std::size_t>(0, std::size(alphabet) - 2)]);
    name = name.trimmed();
    return name.isEmpty() ? QStringLiteral("S") : name;
}

QString singleLine(QString text)
{
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const QString section = nameFrom(input.ConsumeIntegral<std::uint8_t>(), input);
    const QString key = nameFrom(input.ConsumeIntegral<std::uint8_t>(), input);
    const std::string valueBytes = input.ConsumeBytesAsString(input.ConsumeIntegral<std::uint8_t>());
    const QString value = QString::fromUtf8(valueBytes.data(), static_cast<qsizetype>(valueBytes.size()));
    const bool planted = input.ConsumeBool();
    const bool plantedInUtf8 = input.ConsumeBool();
    const std::string fileBytes = input.ConsumeRemainingBytesAsString();
    QByteArray file(fileBytes.data(), static_cast<qsizetype>(fileBytes.size()));
    // Often enough the key is there already, with the file's bytes as its
    // value and whatever lines follow them.
    if (planted) {
        const QString head = QLatin1Char('[') + section + QStringLiteral("]\r\n") + key + QLatin1Char('=');
        file.prepend(plantedInUtf8 ? head.toUtf8() : head.toLatin1());
    }

    IniFile ini = IniFile::fromBytes(file);
    (void)ini.readSetting(section, key, QString());
    ini.setValue(section, key, value);
    const QString expected = singleLine(value);
    check(ini.value(section, key, QStringLiteral("\x01")) == expected, "value set reads back in memory");

    const QByteArray written = ini.toBytes();
    const IniFile reread = IniFile::fromBytes(written);
    check(reread.value(section, key, QStringLiteral("\x01")) == expected, "value set reads back from the file");
    check(reread.toBytes() == written, "a file read and written unchanged keeps its bytes");
    return 0;
}
