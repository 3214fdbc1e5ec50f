#pragma once

#include "storage/Settings.h"

#include <QString>

namespace corvane {

// The lenient numeric conversion of the flag and number rules: blanks anywhere
// are ignored, then a sign, digits with one decimal point and an E or D
// exponent, or &H hexadecimal / &O octal, up to the first character that cannot
// continue the number. A text that does not begin with a number gives 0.
double LeadingNumber(const QString &text);

// Fills settings.RecipientLists and settings.AccountSettings from
// settings.SettingsFilePath; missing keys take their defaults. Reads the file
// once and creates nothing.
void LoadAllSettings(Settings &settings);

struct SaveResult {
    bool ok = false;
    QString error; // why the file could not be written, for the user
    explicit operator bool() const { return ok; }
};

// Writes every list and account key to settings.SettingsFilePath in one atomic
// replacement; lines the program does not own stay as they are.
SaveResult SaveAllSettings(const Settings &settings);

} // namespace corvane
