#pragma once

#include <cstdint>
#include <string>

namespace appserver {

// Appends JSON text straight into a string: the live list answers carry a thousand records and a
// document tree for them costs more than the database query behind it.
class JsonText {
public:
    explicit JsonText(std::string* out)
        : m_out(*out)
    {
    }

    JsonText& raw(const char* text)
    {
        m_out += text;
        return *this;
    }
    JsonText& key(const char* name)
    {
        comma();
        m_out += '"';
        m_out += name;
        m_out += "\":";
        m_needComma = false;
        return *this;
    }
    JsonText& string(const std::string& s);
    JsonText& number(int64_t v)
    {
        comma();
        m_out += std::to_string(v);
        return *this;
    }
    JsonText& null()
    {
        comma();
        m_out += "null";
        return *this;
    }
    JsonText& open(char bracket)
    {
        comma();
        m_out += bracket;
        m_needComma = false;
        return *this;
    }
    JsonText& close(char bracket)
    {
        m_out += bracket;
        m_needComma = true;
        return *this;
    }

private:
    void comma()
    {
        if (m_needComma)
            m_out += ',';
        m_needComma = true;
    }

    std::string& m_out;
    bool m_needComma = false;
};

} // namespace appserver
