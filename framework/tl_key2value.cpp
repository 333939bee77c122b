#include "framework/tl_key2value.h"

#include <cstring>
#include <string>

#include "framework/tl_archive.h"

namespace {

corvane::CTLObject* CreateKey2Value() { return new (std::nothrow) corvane::CTLKey2Value; }

// The C library's tolower in the "C" locale: A-Z only, other bytes as they are.
char LowerByte(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsBlank(char c) { return c == ' ' || (c >= 9 && c <= 13); }

}  // namespace

namespace corvane {

TLRuntimeClass CTLKey2Value::classCTLKey2Value = {"CTLKey2Value",   int32_t(sizeof(CTLKey2Value)), CreateKey2Value,
                                                  TL_CallSerialize, &CTLObject::classCTLObject,    nullptr};
static TLClassRegistrar s_regKey2Value(&CTLKey2Value::classCTLKey2Value);

TLRuntimeClass* CTLKey2Value::GetRuntimeClass() const { return &classCTLKey2Value; }

void CTLKey2Value::SetValue(const char* key, const char* value) {
    if (key == nullptr || *key == '\0' || value == nullptr) return;
    SetValueString(CTLString(key), value);
}

void CTLKey2Value::SetValueString(const CTLString& key, const char* value) { m_map[key] = value; }

void CTLKey2Value::SetValueLower(const char* key, const char* value) {
    if (key == nullptr || *key == '\0' || value == nullptr) return;
    CTLString lower(key);
    lower.MakeLower();
    m_map[lower] = value;
}

void CTLKey2Value::Serialize(HugeDataArchive& ar) {
    if (!ar.IsLoading()) {
        const int32_t count = GetCount();
        if (CHugeData::WriteInt32(ar, &count, 1) != 0) return;
        for (const auto& [key, value] : m_map) {
            // A key without its value would pair the next key with it on
            // loading: a pair goes out whole or not at all.
            const HugeDataArchive::Mark mark = ar.GetMark();
            if (CHugeData::WriteString(ar, key.GetString()) != 0 || CHugeData::WriteString(ar, value.GetString()) != 0)
                ar.Rewind(mark);
        }
        return;
    }
    RemoveAll();
    int32_t count = 0;
    CHugeData::ReadInt32(ar, &count, 1);
    // Where no header can be fetched or no item starts, every later read
    // fails the same way without moving: the rest of the count would only
    // store nothing (or, after a key, the one pair with an empty value).
    const auto atEnd = [](uint32_t rc) { return rc == TL_AR_E_NO_DATA || rc == TL_AR_E_NOT_ITEM; };
    for (int32_t i = 0; i < count; ++i) {
        CTLString key;
        CTLString value;
        const uint32_t keyRc = CHugeData::ReadString(ar, key);
        if (atEnd(keyRc)) break;
        const uint32_t valueRc = CHugeData::ReadString(ar, value);
        SetValueLower(key.GetString(), value.GetString());  // an unread key stays empty: skipped
        if (atEnd(valueRc)) break;
    }
}

void CTLKey2Value::Parse(const char* text, int32_t length) {
    TL_SplitKeyValues(text, length, '=', '&', this, TL_SPLIT_LOWER_KEYS | TL_SPLIT_TRIM);
}

const char* CTLKey2Value::Lookup(const char* key) const {
    auto it = m_map.find(CTLString(key));
    return it == m_map.end() ? nullptr : it->second.GetString();
}

}  // namespace corvane

void TL_SplitKeyValues(const char* text, int32_t length, char keySep, char pairSep, corvane::CTLKey2Value* sink,
                       uint32_t flags) {
    using corvane::TL_SPLIT_LOWER_KEYS;
    using corvane::TL_SPLIT_LOWER_VALUES;
    using corvane::TL_SPLIT_TRIM;
    if (text == nullptr || sink == nullptr || flags > 7) return;
    // A private copy: the sink may do anything with the caller's text.
    const size_t n = length < 0 ? std::strlen(text) : ::strnlen(text, static_cast<size_t>(length));
    const std::string copy(text, n);
    const bool trim = (flags & TL_SPLIT_TRIM) != 0;
    const bool lowerKeys = (flags & TL_SPLIT_LOWER_KEYS) != 0;
    const bool lowerValues = (flags & TL_SPLIT_LOWER_VALUES) != 0;

    size_t i = 0;
    // Leading white space of a key or value; a separator is never skipped.
    auto skip = [&] {
        while (trim && i < n && copy[i] != keySep && copy[i] != pairSep && IsBlank(copy[i])) ++i;
    };
    auto cut = [&](std::string& s) {
        while (trim && !s.empty() && IsBlank(s.back())) s.pop_back();
    };
    std::string key;
    std::string value;
    bool inValue = false;  // a key/value separator was seen in this pair
    try {
        skip();
        while (i < n) {
            const char c = copy[i++];
            if (!inValue) {
                if (c == keySep) {
                    cut(key);
                    inValue = true;
                    skip();
                } else if (c == pairSep) {
                    key.clear();  // a pair without a value is dropped
                    skip();
                } else {
                    key += lowerKeys ? LowerByte(c) : c;
                }
            } else if (c == pairSep) {
                cut(value);
                sink->SetValue(key.c_str(), value.c_str());
                key.clear();
                value.clear();
                inValue = false;
                skip();
            } else {
                value += lowerValues ? LowerByte(c) : c;
            }
        }
        if (inValue && !key.empty()) {
            cut(value);
            sink->SetValue(key.c_str(), value.c_str());
        }
    } catch (const corvane::break_exception&) {
        // The sink asked to stop.
    }
}
