#include "JsonText.h"

namespace appserver {

JsonText& JsonText::string(const std::string& s)
{
    comma();
    m_out += '"';
    size_t plain = 0; // start of the run of bytes that need no escape
    for (size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        m_out.append(s, plain, i - plain);
        plain = i + 1;
        switch (c) {
        case '"':
            m_out += "\\\"";
            break;
        case '\\':
            m_out += "\\\\";
            break;
        case '\n':
            m_out += "\\n";
            break;
        case '\r':
            m_out += "\\r";
            break;
        case '\t':
            m_out += "\\t";
            break;
        default: {
            static const char hex[] = "0123456789abcdef";
            m_out += "\\u00";
            m_out += hex[c >> 4];
            m_out += hex[c & 0xf];
        }
        }
    }
    m_out.append(s, plain, std::string::npos);
    m_out += '"';
    return *this;
}

} // namespace appserver
