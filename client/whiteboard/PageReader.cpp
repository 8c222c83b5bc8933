#include "PageReader.h"

#include <QIODevice>
#include <QJsonArray>
#include <QJsonValue>
#include <QVariant>

#include <simdjson.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

namespace ondemand = simdjson::ondemand;

static_assert(PageBytes::kPadding >= simdjson::SIMDJSON_PADDING, "the reader reads ahead past the bytes");

namespace {

// Levels of nesting a file may have; one more is damaged, as it always was.
constexpr int kMaxDepth = 1024;

// Numbers from a file are brought into what the surface can draw: a float cannot hold 1e308, and a
// huge pen or font makes painting crawl.
constexpr double kMaxCoordinate = 1e6;
constexpr double kMaxScale = 100;
constexpr int kMaxPenWidth = 100;
constexpr int kMinFontSize = 1;
constexpr int kMaxFontSize = 400;

// Values convert as a variant converts them: a missing key or another type gives 0, true gives 1,
// a string its number.
double number(const QJsonValue& value)
{
    return value.isDouble() ? value.toDouble() : value.toVariant().toDouble();
}

int integer(const QJsonValue& json)
{
    const QVariant value = json.toVariant();
    const double wide = value.toDouble();
    // Out of the int range the conversion is undefined; the far end of the range stands in.
    if (std::isfinite(wide) && std::fabs(wide) >= 2147483647.0)
        return wide < 0 ? std::numeric_limits<int>::min() : std::numeric_limits<int>::max();
    return std::isfinite(wide) || value.type() != QVariant::Double ? value.toInt() : 0;
}

QColor opaqueColor(const QJsonValue& r, const QJsonValue& g, const QJsonValue& b)
{
    return QColor(qBound(0, integer(r), 255), qBound(0, integer(g), 255), qBound(0, integer(b), 255), 255);
}

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

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// A token runs to the next one, blanks after it included.
std::string_view trimmed(std::string_view token)
{
    while (!token.empty() && isSpace(token.back()))
        token.remove_suffix(1);
    return token;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// A number as files have always been read: JSON's numbers, and "1.", ".5" and "-.5" too; one that
// leaves a double's range (to infinity, or from non-zero digits to zero) is damaged.
bool parseNumber(std::string_view token, double& out)
{
    const char* begin = token.data();
    const char* end = begin + token.size();
    const char* p = begin;
    const bool negative = p < end && *p == '-';
    if (negative)
        ++p;
    // Whole numbers of up to 15 digits, nearly all a page holds, are exact in a double. A minus
    // zero reads as plain 0, as it always did.
    const char* digits = p;
    qint64 whole = 0;
    while (p < end && isDigit(*p) && p - digits < 16)
        whole = whole * 10 + (*p++ - '0');
    if (p == end && p > digits && p - digits <= 15 && (*digits != '0' || p - digits == 1)) {
        out = negative && whole != 0 ? -double(whole) : double(whole);
        return true;
    }
    // Decimals of up to 15 digits, as pens leave them: both the digits and the power of ten are
    // exact in a double, so one division rounds as the full conversion does.
    if (p < end && *p == '.' && p - digits <= 15 && (p == digits || *digits != '0' || p - digits == 1)) {
        static constexpr double kTens[]
            = { 1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15 };
        const char* fraction = p + 1;
        const char* q = fraction;
        qint64 all = whole;
        while (q < end && isDigit(*q) && (p - digits) + (q - fraction) < 15)
            all = all * 10 + (*q++ - '0');
        if (q == end && (p > digits || q > fraction)) {
            const double value = double(all) / kTens[q - fraction];
            out = negative && all != 0 ? -value : value;
            return true;
        }
    }
    p = negative ? begin + 1 : begin;
    if (p < end && *p == '0') {
        ++p;
    } else {
        while (p < end && isDigit(*p))
            ++p;
    }
    if (p < end && *p == '.') {
        ++p;
        while (p < end && isDigit(*p))
            ++p;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < end && (*p == '+' || *p == '-'))
            ++p;
        while (p < end && isDigit(*p))
            ++p;
    }
    if (p != end)
        return false;
    const std::from_chars_result result = std::from_chars(begin, end, out);
    // A zero of any spelling ("-0.0", "-0e5") was a whole number there, and whole numbers have no
    // minus zero.
    if (out == 0)
        out = 0;
    return result.ec == std::errc() && result.ptr == end;
}

// A number as the tree held it: whole numbers in the 64-bit range as integers (a variant of one
// turns into text without an exponent), any other as a double.
QJsonValue numberValue(double value)
{
    constexpr double kRange = 9223372036854775808.0;
    if (value >= -kRange && value < kRange && std::trunc(value) == value)
        return QJsonValue(qint64(value));
    return QJsonValue(value);
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// UTF-8 to text; a byte order mark at the start stays (fromUtf8 alone would drop it), as it
// does where it follows an escape.
QString utf8Text(const char* p, int size)
{
    QString out;
    while (size >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) {
        out.append(QChar(0xFEFF));
        p += 3;
        size -= 3;
    }
    return out.isEmpty() ? QString::fromUtf8(p, size) : out + QString::fromUtf8(p, size);
}

// A string's text between its quotes, decoded as files have always been read: JSON's escapes,
// any other escaped character as itself, each \u one UTF-16 unit (a lone surrogate stays).
// Without out it is only checked.
bool decodeString(std::string_view body, QString* out)
{
    const char* p = body.data();
    const char* end = p + body.size();
    if (!std::memchr(p, '\\', body.size())) {
        // The reader has checked the UTF-8 of the whole file.
        if (out)
            *out = QString::fromUtf8(p, int(body.size()));
        return true;
    }
    if (out) {
        out->clear();
        out->reserve(int(body.size()));
    }
    while (p < end) {
        const char* slash = static_cast<const char*>(std::memchr(p, '\\', size_t(end - p)));
        if (!slash)
            slash = end;
        // Only a mark at the very start of the string is dropped, as the tree reader did.
        if (out && slash > p)
            out->append(
                p == body.data() ? QString::fromUtf8(p, int(slash - p)) : utf8Text(p, int(slash - p)));
        p = slash;
        if (p == end)
            break;
        if (end - p < 2)
            return false;
        const char c = p[1];
        p += 2;
        ushort unit = 0;
        switch (c) {
        case 'b':
            unit = 0x8;
            break;
        case 'f':
            unit = 0xc;
            break;
        case 'n':
            unit = 0xa;
            break;
        case 'r':
            unit = 0xd;
            break;
        case 't':
            unit = 0x9;
            break;
        case 'u':
            if (end - p < 4)
                return false;
            for (int i = 0; i < 4; ++i) {
                const int h = hexDigit(*p++);
                if (h < 0)
                    return false;
                unit = ushort(unit << 4 | h);
            }
            break;
        default:
            // An escaped lead byte leaves the rest of its character standing alone: damaged.
            if (uchar(c) >= 0x80)
                return false;
            unit = uchar(c);
        }
        if (out)
            out->append(QChar(unit));
    }
    return true;
}

// The text of an object's key (escapes as written) up to its closing quote.
std::string_view keyText(ondemand::raw_json_string key)
{
    const char* begin = key.raw();
    const char* p = begin;
    while (*p != '"')
        p += *p == '\\' ? 2 : 1;
    return std::string_view(begin, size_t(p - begin));
}

} // namespace

// ---- PageBytes ------------------------------------------------------------------------------

const char PageBytes::kNothing[PageBytes::kPadding] = {};

void PageBytes::Release::operator()(char* p) const
{
    std::free(p);
}

bool PageBytes::reserve(int size)
{
    m_size = 0;
    if (!m_buffer || m_capacity < size + kPadding) {
        m_buffer.reset();
        m_capacity = 0;
        char* room = allocate(size_t(size) + kPadding);
        if (!room)
            return false;
        m_buffer.reset(room);
        m_capacity = size + kPadding;
    }
    m_size = size;
    std::memset(m_buffer.get() + size, 0, kPadding);
    return true;
}

bool PageBytes::read(QIODevice& device)
{
    const qint64 left = device.size() - device.pos();
    if (left < 0 || left > std::numeric_limits<int>::max() - kPadding - 1 || !reserve(int(left)))
        return false;
    if (device.read(m_buffer.get(), left) != left) {
        m_buffer.reset();
        m_capacity = 0;
        m_size = 0;
        return false;
    }
    return true;
}

bool PageBytes::assign(const char* data, int size)
{
    if (size < 0 || size > std::numeric_limits<int>::max() - kPadding - 1 || !reserve(size))
        return false;
    if (size > 0)
        std::memcpy(m_buffer.get(), data, size_t(size));
    return true;
}

namespace {

// The document with control characters inside strings, bare or after a backslash, written as
// \u escapes: the tree reader took them as the characters themselves, and so they read the same.
QByteArray withControlsEscaped(const char* data, int size)
{
    static const char kHex[] = "0123456789abcdef";
    QByteArray out;
    out.reserve(size + size / 16);
    auto escape = [&out](uchar c) {
        const char unit[] = { '\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15] };
        out.append(unit, sizeof unit);
    };
    bool inString = false;
    for (int i = 0; i < size; ++i) {
        const uchar c = uchar(data[i]);
        if (!inString) {
            inString = c == '"';
        } else if (c == '"') {
            inString = false;
        } else if (c == '\\' && i + 1 < size) {
            const uchar next = uchar(data[++i]);
            if (next < 0x20) {
                escape(next);
            } else {
                out.append(char(c));
                out.append(char(next));
            }
            continue;
        } else if (c < 0x20) {
            escape(c);
            continue;
        }
        out.append(char(c));
    }
    return out;
}

} // namespace

// ---- PageReader -----------------------------------------------------------------------------

namespace {

// Documents up to this size are read with a parser the reading thread keeps: its index is
// allocated and first touched once, not on every page switch.
constexpr size_t kKeptParserBytes = 64 << 20;

struct KeptParsers {
    ondemand::parser small;
    bool smallTaken = false;
    // The last larger page's parser, where the thread keeps it: allocating and first touching an
    // index of a third of the file's size is a fifth of such a read.
    bool keepLarge = false;
    std::unique_ptr<ondemand::parser> large;
    bool largeTaken = false;
};
thread_local KeptParsers t_kept;

} // namespace

struct PageReader::Private {
    // A parser of its own while another reader holds the thread's, or for a large document that
    // is no page.
    std::unique_ptr<ondemand::parser> ownParser;
    bool holdsSmall = false;
    bool holdsLarge = false;
    QString error;
    // An escaped key, decoded: as text (a lone surrogate has no UTF-8) and as UTF-8 to match.
    QString keyDecoded;
    QByteArray keyScratch;
    // A document whose control characters had to be escaped, while it is read.
    PageBytes escaped;
    // The points of the shape being read.
    std::vector<QPointF> pointScratch;

    bool fail(const QString& why)
    {
        if (error.isEmpty())
            error = why;
        return false;
    }
    bool fail(simdjson::error_code code) { return fail(QString::fromUtf8(simdjson::error_message(code))); }

    // The key of a field as UTF-8, escapes decoded; false when its escapes are damaged. An
    // escaped key lives only until the next key is read.
    bool key(ondemand::field& field, std::string_view& name)
    {
        name = keyText(field.key());
        if (!std::memchr(name.data(), '\\', name.size()))
            return true;
        if (!decodeString(name, &keyDecoded))
            return fail(QStringLiteral("illegal escape sequence in a key"));
        keyScratch = keyDecoded.toUtf8();
        name = std::string_view(keyScratch.constData(), size_t(keyScratch.size()));
        return true;
    }

    // The text of a key key() gave, to build an object with.
    QString keyString(std::string_view name) const
    {
        if (name.data() == keyScratch.constData())
            return keyDecoded;
        return QString::fromUtf8(name.data(), int(name.size()));
    }

    // One value that is neither object nor array; built into out when given.
    bool scalar(std::string_view token, QJsonValue* out)
    {
        token = trimmed(token);
        if (token.empty())
            return fail(QStringLiteral("missing value"));
        if (token.front() == '"') {
            if (token.size() < 2 || token.back() != '"')
                return fail(QStringLiteral("illegal value"));
            QString text;
            if (!decodeString(token.substr(1, token.size() - 2), out ? &text : nullptr))
                return fail(QStringLiteral("illegal escape sequence"));
            if (out)
                *out = QJsonValue(text);
            return true;
        }
        if (token == "true" || token == "false") {
            if (out)
                *out = QJsonValue(token == "true");
            return true;
        }
        if (token == "null") {
            if (out)
                *out = QJsonValue(QJsonValue::Null);
            return true;
        }
        double value = 0;
        if (!parseNumber(token, value))
            return fail(QStringLiteral("illegal number"));
        if (out)
            *out = numberValue(value);
        return true;
    }

    // Calls each(name, value) for every field of an object, in order; a value that is no object
    // is checked and counts as an object without fields, as the tree reader's toObject() had it.
    template <typename Each> bool fields(ondemand::value& value, int depth, Each each)
    {
        if (depth > kMaxDepth)
            return fail(QStringLiteral("too deeply nested"));
        if (value.raw_json_token().substr(0, 1) != "{")
            return visit(value, depth, nullptr);
        ondemand::object object;
        if (auto code = value.get_object().get(object))
            return fail(code);
        return fieldsOf(object, each);
    }

    template <typename Each> bool fieldsOf(ondemand::object& object, Each each)
    {
        for (auto item : object) {
            ondemand::field field;
            if (auto code = std::move(item).get(field))
                return fail(code);
            std::string_view name;
            if (!key(field, name) || !each(name, field.value()))
                return false;
        }
        return true;
    }

    // Calls each(value) for every element of an array; anything else is checked and counts as
    // an empty array.
    template <typename Each> bool elements(ondemand::value& value, int depth, Each each)
    {
        if (depth > kMaxDepth)
            return fail(QStringLiteral("too deeply nested"));
        if (value.raw_json_token().substr(0, 1) != "[")
            return visit(value, depth, nullptr);
        ondemand::array array;
        if (auto code = value.get_array().get(array))
            return fail(code);
        for (auto item : array) {
            ondemand::value element;
            if (auto code = std::move(item).get(element))
                return fail(code);
            if (!each(element))
                return false;
        }
        return true;
    }

    // Checks a value whole, however deep, and builds it into out when given: nothing is
    // skipped unread, so a fault under a key nobody reads still makes the file damaged.
    bool visit(ondemand::value& value, int depth, QJsonValue* out)
    {
        if (depth > kMaxDepth)
            return fail(QStringLiteral("too deeply nested"));
        const std::string_view token = value.raw_json_token();
        if (!token.empty() && token.front() == '{') {
            QJsonObject object;
            const bool ok = fields(value, depth, [&](std::string_view name, ondemand::value& child) {
                if (!out)
                    return visit(child, depth + 1, nullptr);
                const QString key = keyString(name);
                QJsonValue built;
                if (!visit(child, depth + 1, &built))
                    return false;
                object.insert(key, built);
                return true;
            });
            if (ok && out)
                *out = object;
            return ok;
        }
        if (!token.empty() && token.front() == '[') {
            QJsonArray array;
            const bool ok = elements(value, depth, [&](ondemand::value& element) {
                QJsonValue built;
                if (!visit(element, depth + 1, out ? &built : nullptr))
                    return false;
                if (out)
                    array.append(built);
                return true;
            });
            if (ok && out)
                *out = array;
            return ok;
        }
        if (!token.empty() && token.front() == '"') {
            // Taken, not left to be skipped: skipping takes a string before a colon for a key.
            ondemand::raw_json_string taken;
            if (auto code = value.get_raw_json_string().get(taken))
                return fail(code);
        }
        return scalar(token, out);
    }

    // A coordinate: a number read on the spot, anything else converted as any value is.
    bool coordinate(ondemand::value& value, int depth, double& out)
    {
        std::string_view token = value.raw_json_token();
        const char first = token.empty() ? '\0' : token.front();
        if (first == '-' || first == '.' || isDigit(first)) {
            // A number has no blanks in it; it ends where the blanks before the next token begin
            // (found from the front: a page file is indented, the blanks are many).
            size_t length = 0;
            while (length < token.size() && !isSpace(token[length]))
                ++length;
            token = token.substr(0, length);
            if (!parseNumber(token, out))
                return fail(QStringLiteral("illegal number"));
            return true;
        }
        QJsonValue any;
        if (!visit(value, depth, &any))
            return false;
        out = number(any);
        return true;
    }

    bool points(ondemand::value& value, int depth, QVector<QPointF>& out)
    {
        // Gathered first, then copied once at their number: growing a QVector point by point
        // reallocates it over and over.
        pointScratch.clear();
        const bool ok = elements(value, depth, [&](ondemand::value& element) {
            double x = 0;
            double y = 0;
            const bool ok = fields(element, depth + 1, [&](std::string_view name, ondemand::value& v) {
                if (name == "x")
                    return coordinate(v, depth + 2, x);
                if (name == "y")
                    return coordinate(v, depth + 2, y);
                return visit(v, depth + 2, nullptr);
            });
            // A point that is no number cannot be placed; one far off is brought to the edge.
            if (ok && std::isfinite(x) && std::isfinite(y))
                pointScratch.emplace_back(
                    qBound(-kMaxCoordinate, x, kMaxCoordinate), qBound(-kMaxCoordinate, y, kMaxCoordinate));
            return ok;
        });
        out = QVector<QPointF>(pointScratch.begin(), pointScratch.end());
        return ok;
    }

    // The r, g, b of a pen or a brush and the one key more each has (width, style).
    bool paint(ondemand::value& value, int depth, const char* extraKey, QJsonValue (&out)[4])
    {
        for (QJsonValue& v : out)
            v = QJsonValue(QJsonValue::Undefined);
        return fields(value, depth, [&](std::string_view name, ondemand::value& v) {
            const int slot = name == "r" ? 0 : name == "g" ? 1 : name == "b" ? 2 : name == extraKey ? 3 : -1;
            return visit(v, depth + 1, slot >= 0 ? &out[slot] : nullptr);
        });
    }

    // What a shape's keys held; a key not there is undefined and converts as such.
    struct ShapeValues {
        QJsonValue name, rotation, scaleX, scaleY, text, fontSize;
        QJsonValue pen[4], brush[4];
        bool hasText = false;
    };

    static ShapeRecord recordOf(const ShapeValues& v, QVector<QPointF> points = {})
    {
        ShapeRecord record;
        record.name = v.name.toVariant().toString();
        record.points = std::move(points);
        record.rotation = rotationOf(number(v.rotation));
        record.scaleX = static_cast<float>(bounded(number(v.scaleX), kMaxScale, 1));
        record.scaleY = static_cast<float>(bounded(number(v.scaleY), kMaxScale, 1));
        record.penColor = opaqueColor(v.pen[0], v.pen[1], v.pen[2]);
        record.penWidth = qBound(0, integer(v.pen[3]), kMaxPenWidth);
        record.brushColor = opaqueColor(v.brush[0], v.brush[1], v.brush[2]);
        record.brushStyle = integer(v.brush[3]);
        if (v.hasText) {
            record.text = v.text.toVariant().toString();
            record.fontSize = qBound(kMinFontSize, integer(v.fontSize), kMaxFontSize);
        }
        return record;
    }

    bool shape(ondemand::value& value, int depth, ShapeRecord& record)
    {
        ShapeValues v;
        QVector<QPointF> read;
        const bool ok = fields(value, depth, [&](std::string_view key, ondemand::value& field) {
            if (key == "points")
                return points(field, depth + 1, read);
            if (key == "pen")
                return paint(field, depth + 1, "width", v.pen);
            if (key == "brush")
                return paint(field, depth + 1, "style", v.brush);
            if (key == "text")
                v.hasText = true;
            QJsonValue* slot = key == "name" ? &v.name
                : key == "rotation"          ? &v.rotation
                : key == "scaleX"            ? &v.scaleX
                : key == "scaleY"            ? &v.scaleY
                : key == "text"              ? &v.text
                : key == "fontSize"          ? &v.fontSize
                                             : nullptr;
            return visit(field, depth + 1, slot);
        });
        if (ok)
            record = recordOf(v, std::move(read));
        return ok;
    }

    ondemand::parser& parserFor(size_t size, bool page)
    {
        KeptParsers& kept = t_kept;
        if (size <= kKeptParserBytes) {
            if (page && !kept.largeTaken)
                kept.large.reset();
            if (holdsSmall || !kept.smallTaken) {
                kept.smallTaken = holdsSmall = true;
                return kept.small;
            }
        } else if (page && kept.keepLarge && (holdsLarge || !kept.largeTaken)) {
            kept.largeTaken = holdsLarge = true;
            if (!kept.large)
                kept.large = std::make_unique<ondemand::parser>();
            return *kept.large;
        }
        if (!ownParser)
            ownParser = std::make_unique<ondemand::parser>();
        return *ownParser;
    }

    // Ends the read: the thread's parsers are free for the next reader.
    void release()
    {
        if (holdsSmall)
            t_kept.smallTaken = holdsSmall = false;
        if (holdsLarge)
            t_kept.largeTaken = holdsLarge = false;
        ownParser.reset();
    }
    // Held for one read, declared before its document.
    struct ReadScope {
        Private& d;
        ~ReadScope() { d.release(); }
    };

    // Starts a document of bytes [offset, offset + size), a page's or another; its root must be an
    // object.
    bool start(const PageBytes& bytes, int offset, int size, bool page, ondemand::document& document,
        ondemand::object& root)
    {
        error.clear();
        // A byte order mark before the document is passed over.
        if (size >= 3 && std::memcmp(bytes.data() + offset, "\xEF\xBB\xBF", 3) == 0) {
            offset += 3;
            size -= 3;
        }
        simdjson::error_code code
            = parserFor(size_t(size), page)
                  .iterate(bytes.data() + offset, size_t(size), size_t(bytes.capacityFrom(offset)))
                  .get(document);
        if (code == simdjson::UNESCAPED_CHARS) {
            // Rare enough (no writer of JSON leaves them) to be worth a copy of the file.
            const QByteArray copy = withControlsEscaped(bytes.data() + offset, size);
            if (!escaped.assign(copy.constData(), copy.size()))
                return fail(QStringLiteral("out of memory"));
            code = parserFor(size_t(escaped.size()), page)
                       .iterate(escaped.data(), size_t(escaped.size()), size_t(escaped.capacityFrom(0)))
                       .get(document);
        }
        if (code)
            return fail(code);
        // Started as the root, so that a document cut short is caught before it is read.
        if (auto code = document.get_object().get(root))
            return fail(code == simdjson::INCORRECT_TYPE ? QStringLiteral("not an object")
                                                         : QString::fromUtf8(simdjson::error_message(code)));
        return true;
    }

    // After the root object nothing but blanks may follow.
    bool finish(ondemand::document& document)
    {
        const simdjson::simdjson_result<const char*> at = document.current_location();
        if (at.error() == simdjson::OUT_OF_BOUNDS)
            return true;
        return fail(at.error() ? QString::fromUtf8(simdjson::error_message(at.error()))
                               : QStringLiteral("garbage at the end of the document"));
    }
};

PageReader::PageReader()
    : d(std::make_unique<Private>())
{
}

PageReader::~PageReader() = default;

bool PageReader::readPage(const PageBytes& bytes, PainterStorage& storage, QString* why)
{
    const Private::ReadScope scope { *d };
    ondemand::document document;
    ondemand::object root;
    QJsonValue scaleX, scaleY, journal;
    QJsonValue color[4];
    QVector<ShapeRecord> records;
    bool ok = d->start(bytes, 0, bytes.size(), true, document, root);
    if (ok) {
        ok = d->fieldsOf(root, [&](std::string_view key, ondemand::value& v) {
            if (key == "shapes") {
                records.clear();
                return d->elements(v, 2, [&](ondemand::value& element) {
                    records.append(ShapeRecord());
                    return d->shape(element, 3, records.last());
                });
            }
            if (key == "r" || key == "g" || key == "b")
                return d->visit(v, 2, &color[key == "r" ? 0 : key == "g" ? 1 : 2]);
            QJsonValue* slot = key == "scaleX" ? &scaleX
                : key == "scaleY"              ? &scaleY
                : key == "journal"             ? &journal
                                               : nullptr;
            return d->visit(v, 2, slot);
        });
    }
    ok = ok && d->finish(document);
    if (!ok) {
        if (why)
            *why = d->error;
        storage.records.clear();
        return false;
    }
    storage.scaleX = static_cast<float>(scaleX.toVariant().toDouble());
    storage.scaleY = static_cast<float>(scaleY.toVariant().toDouble());
    storage.color = opaqueColor(color[0], color[1], color[2]);
    storage.journalTag = journal.toObject();
    storage.records = std::move(records);
    return true;
}

JournalEntry PageReader::readEntry(const PageBytes& journal, int offset, int size, bool shapes)
{
    const Private::ReadScope scope { *d };
    JournalEntry entry;
    ondemand::document document;
    ondemand::object root;
    bool any = false;
    QJsonValue seq;
    bool ok = d->start(journal, offset, size, false, document, root);
    if (ok) {
        ok = d->fieldsOf(root, [&](std::string_view key, ondemand::value& v) {
            any = true;
            if (key == "remove") {
                entry.removed.clear();
                return d->elements(v, 2, [&](ondemand::value& element) {
                    QJsonValue at;
                    if (!d->visit(element, 3, &at))
                        return false;
                    entry.removed.append(at.toInt(-1));
                    return true;
                });
            }
            if (key == "add") {
                entry.added.clear();
                return d->elements(v, 2, [&](ondemand::value& element) {
                    QJsonValue at;
                    // Without a shape, the one an object without keys gives.
                    ShapeRecord record = Private::recordOf(Private::ShapeValues());
                    const bool fine
                        = d->fields(element, 3, [&](std::string_view name, ondemand::value& field) {
                              if (name == "at")
                                  return d->visit(field, 4, &at);
                              if (name == "shape" && shapes)
                                  return d->shape(field, 4, record);
                              return d->visit(field, 4, nullptr);
                          });
                    entry.added.append(qMakePair(at.toInt(-1), record));
                    return fine;
                });
            }
            return d->visit(v, 2, key == "seq" ? &seq : nullptr);
        });
    }
    ok = ok && d->finish(document);
    if (!ok || !any)
        return JournalEntry();
    entry.empty = false;
    entry.seq = seq.toDouble();
    return entry;
}

QJsonObject PageReader::readObject(const PageBytes& bytes, int offset, int size)
{
    const Private::ReadScope scope { *d };
    ondemand::document document;
    ondemand::object root;
    QJsonObject object;
    const bool ok = d->start(bytes, offset, size, false, document, root)
        && d->fieldsOf(root,
            [&](std::string_view name, ondemand::value& v) {
                // Taken before the value is read: an escaped key inside it reuses the key's room.
                const QString key = d->keyString(name);
                QJsonValue built;
                if (!d->visit(v, 2, &built))
                    return false;
                object.insert(key, built);
                return true;
            })
        && d->finish(document);
    return ok ? object : QJsonObject();
}

void PageReader::keepLargePages(bool keep)
{
    t_kept.keepLarge = keep;
    if (!keep && !t_kept.largeTaken)
        t_kept.large.reset();
}

qint64 PageReader::wholeNumber(double value)
{
    // A double converts to qint64 only inside its range: 2^63 itself is outside.
    constexpr double kLimit = 9223372036854774784.0;
    if (std::isnan(value))
        return 0;
    if (value >= kLimit)
        return std::numeric_limits<qint64>::max();
    if (value <= -kLimit)
        return std::numeric_limits<qint64>::min();
    return qint64(value);
}
