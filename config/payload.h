// The payload block a distributor appends to the executable: its reader, the
// form decoding of its values and the six settings the program takes from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

// Keys ordered byte-wise as unsigned bytes (a shorter key before a longer key
// that starts with it), whatever the signedness of char.
struct PayloadKeyLess {
    bool operator()(const std::string& a, const std::string& b) const;
};

// Raw (undecoded) keys and values of the payload block.
using PayloadMap = std::map<std::string, std::string, PayloadKeyLess>;

inline constexpr std::string_view kPayloadMarker = "PayloadInfo:";
// At most this many bytes at the end of the file are searched for the block.
inline constexpr std::int64_t kPayloadTailLimit = 104857600;

// The block in the examined tail of a file: from the last marker to the end
// of the tail. None when there is no marker, or when the last one is the
// reader's own constant in the program's data (no item follows it).
std::optional<std::string_view> findPayloadBlock(std::string_view tail);

// Parses the block out of the examined tail of a file: the last marker wins.
PayloadMap parsePayload(std::string_view tail);

// The examined tail of the given file (its last kPayloadTailLimit bytes);
// empty when the file cannot be read whole.
std::string readPayloadTail(const std::wstring& path);

// Reads the tail of the given file and parses it; an unreadable file gives an empty map.
PayloadMap readPayloadFromFile(const std::wstring& path);

// Form decoding of one value: "+" is a space, "%XX" one UTF-16 unit (0x00..0xFF).
// A "%" followed by one hex digit and anything else still counts as a
// three-unit escape ("%4z" gives the unit 4), as the stamped values never hold
// such a thing; a "%" not followed by a hex digit at all stays a literal "%".
std::wstring percentDecode(std::wstring value);

// One raw payload value as the program sees it: decoded from UTF-8 (invalid
// bytes dropped), percentDecode'd, then stripped of control characters
// (U+0000-U+001F, U+007F-U+009F), which have no place on a command line.
std::wstring decodePayloadValue(const std::string& raw);

// One raw payload key as the program sees it: decoded from UTF-8 (invalid
// bytes dropped) and stripped of control characters, never percent-decoded.
std::wstring decodePayloadKey(const std::string& raw);

// Takes one setting out of the map: the value as decodePayloadValue gives it
// (empty when missing); the key is removed.
std::wstring takeSetting(PayloadMap& payload, const std::string& key);

// The six settings in the order they are taken out of the map.
struct PayloadSettings {
    std::wstring vid;
    std::wstring partnerId;
    std::wstring contentType;
    std::wstring contentAddress;
    std::wstring offerUrl;
    bool silentMode = false;
};

// Takes the six settings out of the map in order (vid, partnerId, contentType,
// contentAddress, offerUrl, silentMode); silentMode is on only for "true".
PayloadSettings takeSettings(PayloadMap& payload);
