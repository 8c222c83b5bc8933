#include "OfficeProcess.h"

#include <QProcess>

namespace {
const QString kParameterTemplate = QStringLiteral(
    "--nocrashreport --nodefault --nolockcheck --nologo --nofirststartwizard --norestore \"%1\" -o \"%2\"");
const QString kMacroUrl = QStringLiteral("macro:///ExportImages.ExportImages.ExportAsImages()");
} // namespace

namespace Office {

QString CommandLine(const QString& document)
{
    return kParameterTemplate.arg(kMacroUrl, document);
}

QStringList Arguments(const QString& document)
{
    QStringList list;
    for (const QString& argument : QProcess::splitCommand(kParameterTemplate)) {
        if (argument == QLatin1String("%1"))
            list << kMacroUrl;
        else if (argument == QLatin1String("%2"))
            list << document;
        else
            list << argument;
    }
    return list;
}

} // namespace Office
