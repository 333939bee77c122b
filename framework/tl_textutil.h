// Small text services: request ids, field readers for key:value and
// JSON-like texts, and splitting.
//
// The field readers are deliberately plain: each finds the FIRST occurrence
// of its marker anywhere in the text (no check that it starts a field), and
// the cascade messages rely on that (one of them puts a blank before its
// "codelist" key). They do not parse JSON: no escapes, no white space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "framework/tl_base64.h"
#include "framework/tl_md5.h"

// A new random id, lower-case "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx"
// (36 characters); an empty text when no random bytes are available.
std::string CreateGuidString();

// The value after the first occurrence of key: from one character after the
// key (the ":") up to the next ","; for the key "codelist" up to and
// including the next ")". Empty when the key or the end marker is missing.
std::string GetFieldValue(std::string_view text, std::string_view key);

// The value after "key": up to the next ","; empty when either is missing
// (so a number that is the last member reads as empty).
std::string GetJsonNumberValue(std::string_view text, std::string_view key);

// The value after "key":" up to the next double quote; empty when missing.
std::string GetJsonStringValue(std::string_view text, std::string_view key);

// Collects the pieces of a split into a list, dropping empty pieces unless
// keepEmpty is set.
struct TLStringAdder {
    std::vector<std::string>* list;
    bool keepEmpty;

    void operator()(std::string_view piece) const {
        if (list != nullptr && (keepEmpty || !piece.empty())) list->emplace_back(piece);
    }
};

// Cuts text at every occurrence of delimiter and hands each piece to adder.
// An empty (or null) delimiter gives the whole text as one piece.
void TL_SplitString(std::string_view text, const char* delimiter, const TLStringAdder& adder);
void TL_SplitBuffer(const char* data, std::size_t length, const char* delimiter, const TLStringAdder& adder);

// Appends a copy of text (null reads as empty) and returns its index.
std::int32_t TL_AppendString(std::vector<std::string>& list, const char* text);
