#pragma once

#include <QRgb>
#include <QString>

// Where an application folder keeps the office suite's profile.
constexpr char kOfficeProfileFolder[] = "/LibreOfficePortable/Data/settings";

// Gives the application folder its own copy of the office profile with our macro, taken from the
// source tree unless `source` names another.
bool InstallOfficeProfile(const QString& appFolder, const QString& source = QString());

// The command-line argument that marks the office suite started for this application folder.
QString OfficeProfileMarker(const QString& appFolder);

// Whether each channel of pixel is within tolerance of 0xRRGGBB.
bool NearColor(QRgb pixel, unsigned rgb, int tolerance);
