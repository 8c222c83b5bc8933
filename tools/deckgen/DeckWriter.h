#pragma once

// Test decks written from scratch: a flat OpenDocument presentation (one XML file) whose slides
// each carry a solid colour of their own, so a test can tell from one pixel of an exported image
// which slide it shows. The office suite turns the flat file into .pptx or .ppt.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QUrl>

namespace deckgen {

// 0xRRGGBB of slide `number` (1-based); distinct for the first 64 slides and far apart, so image
// scaling and colour conversion never make two slides look alike.
inline unsigned slideColor(int number)
{
    const int i = number - 1;
    const unsigned red = 40 + (i % 8) * 25;
    const unsigned green = 40 + (i / 8 % 8) * 25;
    const unsigned blue = 128;
    return (red << 16) | (green << 8) | blue;
}

inline QString colorName(unsigned rgb)
{
    return QStringLiteral("#%1").arg(rgb, 6, 16, QLatin1Char('0'));
}

// A 16:9 presentation of `slides` slides; each slide is one full-size rectangle in its colour
// with "第 n 页" and "Slide n" on it.
inline QByteArray flatPresentation(int slides)
{
    QString styles;
    QString pages;
    for (int n = 1; n <= slides; ++n) {
        styles += QStringLiteral(
            "  <style:style style:name=\"bg%1\" style:family=\"graphic\">"
            "<style:graphic-properties draw:stroke=\"none\" draw:fill=\"solid\" draw:fill-color=\"%2\" "
            "draw:textarea-horizontal-align=\"center\" draw:textarea-vertical-align=\"middle\"/>"
            "</style:style>\n")
                      .arg(n)
                      .arg(colorName(slideColor(n)));
        pages += QStringLiteral(
            "   <draw:page draw:name=\"page%1\" draw:style-name=\"dp1\" draw:master-page-name=\"Default\">"
            "<draw:rect draw:style-name=\"bg%1\" svg:x=\"0cm\" svg:y=\"0cm\" svg:width=\"28cm\" "
            "svg:height=\"15.75cm\">"
            "<text:p><text:span text:style-name=\"T1\">第 %1 页</text:span></text:p>"
            "<text:p><text:span text:style-name=\"T1\">Slide "
            "%1</text:span></text:p></draw:rect></draw:page>\n")
                     .arg(n);
    }
    const QString document = QStringLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<office:document xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\"\n"
        " xmlns:style=\"urn:oasis:names:tc:opendocument:xmlns:style:1.0\"\n"
        " xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\"\n"
        " xmlns:draw=\"urn:oasis:names:tc:opendocument:xmlns:drawing:1.0\"\n"
        " xmlns:fo=\"urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0\"\n"
        " xmlns:svg=\"urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0\"\n"
        " xmlns:presentation=\"urn:oasis:names:tc:opendocument:xmlns:presentation:1.0\"\n"
        " office:version=\"1.3\" office:mimetype=\"application/vnd.oasis.opendocument.presentation\">\n"
        " <office:automatic-styles>\n"
        "  <style:page-layout style:name=\"PM1\"><style:page-layout-properties fo:margin-top=\"0cm\" "
        "fo:margin-bottom=\"0cm\" fo:margin-left=\"0cm\" fo:margin-right=\"0cm\" fo:page-width=\"28cm\" "
        "fo:page-height=\"15.75cm\" style:print-orientation=\"landscape\"/></style:page-layout>\n"
        "  <style:style style:name=\"dp1\" style:family=\"drawing-page\"/>\n"
        "  <style:style style:name=\"T1\" style:family=\"text\"><style:text-properties fo:font-size=\"54pt\" "
        "fo:color=\"#ffffff\" style:font-name-asian=\"WenQuanYi Zen Hei\" "
        "style:font-size-asian=\"54pt\"/></style:style>\n"
        "%1"
        " </office:automatic-styles>\n"
        " <office:master-styles>\n"
        "  <style:master-page style:name=\"Default\" style:page-layout-name=\"PM1\" "
        "draw:style-name=\"dp1\"/>\n"
        " </office:master-styles>\n"
        " <office:body>\n"
        "  <office:presentation>\n"
        "%2"
        "  </office:presentation>\n"
        " </office:body>\n"
        "</office:document>\n")
                                 .arg(styles, pages);
    return document.toUtf8();
}

inline bool writeFile(const QString& path, const QByteArray& bytes, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

// Writes a deck of `slides` slides to `path`. A ".fodp" path is written directly; ".pptx" and
// ".ppt" are converted by the office suite, started on `profileFolder` (its own profile, so it
// never meets a suite that is running for someone else).
inline bool writeDeck(const QString& path, int slides, const QString& profileFolder, QString* error)
{
    const QFileInfo target(path);
    const QString format = target.suffix().toLower();
    if (format == QLatin1String("fodp"))
        return writeFile(path, flatPresentation(slides), error);
    if (format != QLatin1String("pptx") && format != QLatin1String("ppt")) {
        if (error)
            *error = QStringLiteral("unknown deck format: %1").arg(path);
        return false;
    }
    const QString office = QStandardPaths::findExecutable(QStringLiteral("soffice"));
    if (office.isEmpty()) {
        if (error)
            *error = QStringLiteral("soffice not found on PATH");
        return false;
    }
    const QDir folder = target.absoluteDir();
    const QString flat = folder.filePath(target.completeBaseName() + QStringLiteral(".fodp"));
    if (!writeFile(flat, flatPresentation(slides), error))
        return false;
    // A deck left from an earlier run must not pass for a fresh one.
    QFile::remove(path);
    QProcess process;
    process.start(office,
        { QStringLiteral("-env:UserInstallation=") + QUrl::fromLocalFile(profileFolder).toString(),
            QStringLiteral("--headless"), QStringLiteral("--convert-to"), format, QStringLiteral("--outdir"),
            folder.absolutePath(), flat });
    const bool finished = process.waitForFinished(120000);
    if (!finished) {
        process.kill();
        process.waitForFinished();
    }
    QFile::remove(flat);
    if (!finished || !QFileInfo::exists(path)) {
        if (error)
            *error = QStringLiteral("the office suite did not write %1: %2")
                         .arg(path, QString::fromLocal8Bit(process.readAllStandardError()));
        return false;
    }
    return true;
}

} // namespace deckgen
