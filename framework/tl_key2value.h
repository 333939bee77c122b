// Key-value texts: corvane::CTLKey2Value, an ordered list of text keys and
// values, and TL_SplitKeyValues, the splitter that cuts texts such as
// "a=1&b=2" into pairs.
#pragma once

#include <cstdint>
#include <map>

#include "framework/tl_object.h"
#include "framework/tl_string.h"

namespace corvane {

// Thrown by a splitter sink to end a split early; the splitter catches it
// and returns normally.
class break_exception {};

// An ordered list of text keys and values, kept in ascending byte order of
// the keys (unsigned bytes); a key appears once.
class CTLKey2Value : public CTLObject {
public:
    using Map = std::map<CTLString, CTLString>;

    CTLKey2Value() = default;
    ~CTLKey2Value() override = default;

    TLRuntimeClass* GetRuntimeClass() const override;
    static TLRuntimeClass classCTLKey2Value;
    // The third operation. Storing writes the pair count (an i32 item), then
    // each pair's key and value as text items, in the list's order; loading
    // replaces the list by the archive's pairs, keys lower-cased (see
    // SetValueLower). Results of the archive are not reported: a pair that
    // does not fit the archive is left out whole, and loading stops early
    // only where the archive holds no further item.
    void Serialize(HugeDataArchive& ar) override;

    // Stores value under key; nothing happens for a null or empty key or a
    // null value. The splitter's sink operation.
    virtual void SetValue(const char* key, const char* value);
    // Stores value under key as given (no case change), replacing an existing
    // value.
    virtual void SetValueString(const CTLString& key, const char* value);
    // Stores value under key lower-cased (A-Z; the value keeps its case),
    // replacing an existing value; nothing happens for a null or empty key or
    // a null value.
    void SetValueLower(const char* key, const char* value);

    // Adds the pairs of a text "key=value&key=value" (length < 0: up to the
    // zero byte), keys lower-cased and white space around keys and values
    // dropped. A pair without "=" is ignored; a later key replaces an
    // earlier one.
    void Parse(const char* text, int32_t length = -1);

    // The value of key (exact bytes), or null when absent.
    const char* Lookup(const char* key) const;
    int32_t GetCount() const { return static_cast<int32_t>(m_map.size()); }
    void RemoveAll() { m_map.clear(); }
    const Map& GetMap() const { return m_map; }

protected:
    Map m_map;
};

// Splitter flags.
constexpr uint32_t TL_SPLIT_LOWER_KEYS = 1;    // keys lower-cased (A-Z)
constexpr uint32_t TL_SPLIT_LOWER_VALUES = 2;  // values lower-cased (A-Z)
constexpr uint32_t TL_SPLIT_TRIM = 4;          // white space (9-13, 32) around keys and values dropped

}  // namespace corvane

// Splits length bytes of text (length < 0: up to the zero byte; a zero byte
// always ends the text) into pairs: keySep ends a key, pairSep ends a pair;
// inside a value further keySep bytes belong to the value. Each pair that has
// a value ("=" seen, even an empty value) and a non-empty key goes to
// sink->SetValue; a pair without keySep is dropped. flags combine the
// TL_SPLIT_ bits (0 to 7); other flags split nothing. The sink may throw
// corvane::break_exception to end the split.
void TL_SplitKeyValues(const char* text, int32_t length, char keySep, char pairSep, corvane::CTLKey2Value* sink,
                       uint32_t flags);
