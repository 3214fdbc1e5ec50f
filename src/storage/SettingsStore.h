#pragma once

#include "storage/Result.h"
#include "storage/Settings.h"

#include <QString>

namespace corvane {

// The lenient numeric conversion of the flag and number rules: blanks anywhere
// are ignored, then a sign, digits with one decimal point and an E or D
// exponent, or &H hexadecimal / &O octal, up to the first character that cannot
// continue the number. A text that does not begin with a number gives 0.
double LeadingNumber(const QString &text);

// Fills settings.RecipientLists, settings.AccountSettings and settings.OAuth
// from settings.SettingsFilePath; missing keys take their defaults. Reads the file
// once and creates nothing. A file that exists but cannot be read still leaves
// every default in place; the failure says why, and the next save is refused.
Result LoadAllSettings(Settings &settings);

// Callers written against the save's own result type keep compiling.
using SaveResult = Result;

// Writes every list and account key to settings.SettingsFilePath in one atomic
// replacement; lines the program does not own stay as they are.
Result SaveAllSettings(const Settings &settings);

} // namespace corvane
