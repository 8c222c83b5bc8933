#include "TreeReader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QVariant>

#include <cmath>
#include <limits>

namespace {

double number(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = object.value(key);
    return value.isDouble() ? value.toDouble() : value.toVariant().toDouble();
}

int integer(const QJsonObject& object, const QString& key)
{
    const QVariant value = object.value(key).toVariant();
    const double wide = value.toDouble();
    if (std::isfinite(wide) && std::fabs(wide) >= 2147483647.0)
        return wide < 0 ? std::numeric_limits<int>::min() : std::numeric_limits<int>::max();
    return std::isfinite(wide) || value.type() != QVariant::Double ? value.toInt() : 0;
}

int channel(const QJsonObject& object, const QString& key)
{
    return qBound(0, integer(object, key), 255);
}

QColor opaqueColor(const QJsonObject& object)
{
    return QColor(channel(object, QStringLiteral("r")), channel(object, QStringLiteral("g")),
        channel(object, QStringLiteral("b")), 255);
}

constexpr double kMaxCoordinate = 1e6;
constexpr double kMaxScale = 100;
constexpr int kMaxPenWidth = 100;
constexpr int kMinFontSize = 1;
constexpr int kMaxFontSize = 400;

double bounded(double value, double limit, double fallback)
{
    if (!std::isfinite(value))
        return fallback;
    return qBound(-limit, value, limit);
}

float rotationOf(double degrees)
{
    return std::isfinite(degrees) ? static_cast<float>(std::fmod(degrees, 360.0)) : 0.0f;
}

ShapeRecord readShape(const QJsonObject& map)
{
    ShapeRecord record;
    record.name = map.value(QStringLiteral("name")).toVariant().toString();
    record.rotation = rotationOf(number(map, QStringLiteral("rotation")));
    record.scaleX = static_cast<float>(bounded(number(map, QStringLiteral("scaleX")), kMaxScale, 1));
    record.scaleY = static_cast<float>(bounded(number(map, QStringLiteral("scaleY")), kMaxScale, 1));
    const QJsonArray points = map.value(QStringLiteral("points")).toArray();
    record.points.reserve(points.size());
    for (const QJsonValue& point : points) {
        const QJsonObject p = point.toObject();
        const double x = number(p, QStringLiteral("x"));
        const double y = number(p, QStringLiteral("y"));
        if (std::isfinite(x) && std::isfinite(y))
            record.points.append(QPointF(
                qBound(-kMaxCoordinate, x, kMaxCoordinate), qBound(-kMaxCoordinate, y, kMaxCoordinate)));
    }
    const QJsonObject pen = map.value(QStringLiteral("pen")).toObject();
    record.penColor = opaqueColor(pen);
    record.penWidth = qBound(0, integer(pen, QStringLiteral("width")), kMaxPenWidth);
    const QJsonObject brush = map.value(QStringLiteral("brush")).toObject();
    record.brushColor = opaqueColor(brush);
    record.brushStyle = integer(brush, QStringLiteral("style"));
    if (map.contains(QStringLiteral("text"))) {
        record.text = map.value(QStringLiteral("text")).toVariant().toString();
        record.fontSize = qBound(kMinFontSize, integer(map, QStringLiteral("fontSize")), kMaxFontSize);
    }
    return record;
}

bool same(double a, double b)
{
    return a == b && std::signbit(a) == std::signbit(b);
}

QString recordDifference(const ShapeRecord& a, const ShapeRecord& b)
{
    if (a.name != b.name)
        return QStringLiteral("name %1 / %2").arg(a.name, b.name);
    if (a.points.size() != b.points.size())
        return QStringLiteral("%1 / %2 points").arg(a.points.size()).arg(b.points.size());
    for (int i = 0; i < a.points.size(); ++i) {
        if (!same(a.points[i].x(), b.points[i].x()) || !same(a.points[i].y(), b.points[i].y()))
            return QStringLiteral("point %1: %2,%3 / %4,%5")
                .arg(i)
                .arg(a.points[i].x(), 0, 'g', 17)
                .arg(a.points[i].y(), 0, 'g', 17)
                .arg(b.points[i].x(), 0, 'g', 17)
                .arg(b.points[i].y(), 0, 'g', 17);
    }
    if (!same(a.rotation, b.rotation) || !same(a.scaleX, b.scaleX) || !same(a.scaleY, b.scaleY))
        return QStringLiteral("rotation or scale");
    if (a.penColor != b.penColor || a.penWidth != b.penWidth || a.brushColor != b.brushColor
        || a.brushStyle != b.brushStyle)
        return QStringLiteral("pen or brush");
    if (a.text != b.text || a.fontSize != b.fontSize)
        return QStringLiteral("text %1 (%2) / %3 (%4)")
            .arg(a.text)
            .arg(a.fontSize)
            .arg(b.text)
            .arg(b.fontSize);
    return QString();
}

} // namespace

namespace TreeReader {

bool readPage(const QByteArray& bytes, PainterStorage& storage)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        storage.records.clear();
        return false;
    }
    const QJsonObject object = document.object();
    storage.scaleX = static_cast<float>(object.value(QStringLiteral("scaleX")).toVariant().toDouble());
    storage.scaleY = static_cast<float>(object.value(QStringLiteral("scaleY")).toVariant().toDouble());
    storage.color = opaqueColor(object);
    storage.journalTag = object.value(QStringLiteral("journal")).toObject();
    storage.records.clear();
    const QJsonArray shapes = object.value(QStringLiteral("shapes")).toArray();
    for (const QJsonValue& shape : shapes)
        storage.records.append(readShape(shape.toObject()));
    return true;
}

JournalEntry readEntry(const QByteArray& line)
{
    JournalEntry entry;
    const QJsonObject object = QJsonDocument::fromJson(line).object();
    if (object.isEmpty())
        return entry;
    entry.empty = false;
    entry.seq = object.value(QStringLiteral("seq")).toDouble();
    for (const QJsonValue& v : object.value(QStringLiteral("remove")).toArray())
        entry.removed.append(v.toInt(-1));
    for (const QJsonValue& v : object.value(QStringLiteral("add")).toArray()) {
        const QJsonObject in = v.toObject();
        entry.added.append(qMakePair(in.value(QStringLiteral("at")).toInt(-1),
            readShape(in.value(QStringLiteral("shape")).toObject())));
    }
    return entry;
}

QString difference(const PainterStorage& a, const PainterStorage& b)
{
    if (!same(a.scaleX, b.scaleX) || !same(a.scaleY, b.scaleY) || a.color != b.color)
        return QStringLiteral("page scale or colour");
    if (a.journalTag != b.journalTag)
        return QStringLiteral("journal tag %1 / %2")
            .arg(QString::fromUtf8(QJsonDocument(a.journalTag).toJson(QJsonDocument::Compact)),
                QString::fromUtf8(QJsonDocument(b.journalTag).toJson(QJsonDocument::Compact)));
    if (a.records.size() != b.records.size())
        return QStringLiteral("%1 / %2 records").arg(a.records.size()).arg(b.records.size());
    for (int i = 0; i < a.records.size(); ++i) {
        const QString d = recordDifference(a.records[i], b.records[i]);
        if (!d.isEmpty())
            return QStringLiteral("record %1: %2").arg(i).arg(d);
    }
    return QString();
}

QString difference(const JournalEntry& a, const JournalEntry& b)
{
    if (a.empty != b.empty)
        return QStringLiteral("empty %1 / %2").arg(a.empty).arg(b.empty);
    if (!same(a.seq, b.seq))
        return QStringLiteral("seq %1 / %2").arg(a.seq).arg(b.seq);
    if (a.removed != b.removed)
        return QStringLiteral("removed");
    if (a.added.size() != b.added.size())
        return QStringLiteral("%1 / %2 added").arg(a.added.size()).arg(b.added.size());
    for (int i = 0; i < a.added.size(); ++i) {
        if (a.added[i].first != b.added[i].first)
            return QStringLiteral("added %1 at").arg(i);
        const QString d = recordDifference(a.added[i].second, b.added[i].second);
        if (!d.isEmpty())
            return QStringLiteral("added %1: %2").arg(i).arg(d);
    }
    return QString();
}

QJsonObject readObject(const QByteArray& bytes)
{
    return QJsonDocument::fromJson(bytes).object();
}

bool sameValues(const QJsonValue& a, const QJsonValue& b)
{
    if (a.isDouble() && b.isDouble())
        return a.toDouble() == b.toDouble();
    if (a.type() != b.type())
        return false;
    if (a.isObject()) {
        const QJsonObject x = a.toObject();
        const QJsonObject y = b.toObject();
        if (x.keys() != y.keys())
            return false;
        for (auto it = x.begin(), other = y.begin(); it != x.end(); ++it, ++other) {
            if (it.key() != other.key() || !sameValues(it.value(), other.value()))
                return false;
        }
        return true;
    }
    if (a.isArray()) {
        const QJsonArray x = a.toArray();
        const QJsonArray y = b.toArray();
        if (x.size() != y.size())
            return false;
        for (int i = 0; i < x.size(); ++i) {
            if (!sameValues(x[i], y[i]))
                return false;
        }
        return true;
    }
    return a == b;
}

} // namespace TreeReader
