// Fuzz target for the proxy credential check (DecodeBase64Text,
// IsProxyAuthorized): the decoder is compared with a second reading of its
// rules and bounded by its input, correct Base64 of any bytes (split by
// blanks and line ends) decodes back to them, and Basic credentials built
// from the fuzz bytes are accepted exactly for their own user and password.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "base/IdGlobal.h"
#include "proxy/HTTPProxyServer.h"

namespace {

constexpr std::string_view Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Encode(std::string_view bytes) {
    std::string out;
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = (uint32_t{static_cast<unsigned char>(bytes[i])} << 16) |
                           (uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) {
            out += Alphabet[(v >> shift) & 63];
        }
    }
    const size_t left = bytes.size() - i;
    if (left > 0) {
        uint32_t v = uint32_t{static_cast<unsigned char>(bytes[i])} << 16;
        if (left == 2) {
            v |= uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8;
        }
        out += Alphabet[(v >> 18) & 63];
        out += Alphabet[(v >> 12) & 63];
        out += left == 2 ? Alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// The decoder's rules once more: alphabet values with "=" as -1 (0xFFFF in
// the arithmetic of the first two places), everything else skipped, groups of
// four, a pad in the third or fourth place ends decoding, a short last group
// is dropped.
std::string ReferenceDecode(std::string_view text) {
    std::vector<int> values;
    for (const char c : text) {
        const size_t index = Alphabet.find(c);
        if (index != std::string_view::npos) {
            values.push_back(static_cast<int>(index));
        } else if (c == '=') {
            values.push_back(-1);
        }
    }
    std::string out;
    for (size_t g = 0; g + 4 <= values.size(); g += 4) {
        const auto wide = [](int v) { return v < 0 ? 0xFFFFu : static_cast<unsigned>(v); };
        const unsigned q0 = wide(values[g]);
        const unsigned q1 = wide(values[g + 1]);
        out += static_cast<char>(((q0 << 2) | (q1 >> 4)) & 0xFF);
        if (values[g + 2] < 0) {
            break;
        }
        const auto q2 = static_cast<unsigned>(values[g + 2]);
        out += static_cast<char>(((q1 << 4) | (q2 >> 2)) & 0xFF);
        if (values[g + 3] < 0) {
            break;
        }
        out += static_cast<char>(((q2 << 6) | static_cast<unsigned>(values[g + 3])) & 0xFF);
    }
    return out;
}

std::string Trimmed(std::string_view text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && static_cast<unsigned char>(text[first]) <= 32) {
        ++first;
    }
    while (last > first && static_cast<unsigned char>(text[last - 1]) <= 32) {
        --last;
    }
    return std::string(text.substr(first, last - first));
}

bool ReferenceAuthorized(std::string_view value, const std::string& user, const std::string& password) {
    const std::string trimmed = Trimmed(value);
    const size_t blank = trimmed.find(' ');
    std::string scheme = Trimmed(trimmed.substr(0, blank));
    for (char& c : scheme) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    if (scheme != "BASIC") {
        return false;
    }
    const std::string decoded = ReferenceDecode(blank == std::string::npos ? "" : trimmed.substr(blank + 1));
    const size_t colon = decoded.find(':');
    if (colon == std::string::npos) {
        return decoded == user && password.empty();
    }
    return decoded.substr(0, colon) == user && decoded.substr(colon + 1) == password;
}

void CheckDecoder(std::string_view text) {
    const std::string decoded = DecodeBase64Text(text);
    size_t alphabetCount = 0;
    for (const char c : text) {
        if (c == '=' || Alphabet.find(c) != std::string_view::npos) {
            ++alphabetCount;
        }
    }
    const std::string context = "text \"" + fuzz::Escaped(text) + "\" -> \"" + fuzz::Escaped(decoded) + "\"";
    FUZZ_CHECK(decoded.size() <= alphabetCount / 4 * 3, context);
    FUZZ_CHECK(decoded == ReferenceDecode(text), context);
}

// Spreads blanks, tabs and line ends through an encoded text; the decoder
// skips them.
std::string Interleave(const std::string& encoded, fuzz::ByteReader& reader) {
    static const char Fillers[] = {' ', '\t', '\r', '\n', '-', '_', '\0', '\x80'};
    std::string out;
    for (const char c : encoded) {
        const uint8_t choice = reader.Byte();
        if ((choice & 0xF0) == 0xF0) {
            out += Fillers[choice & 7];
        }
        out += c;
    }
    return out;
}

std::string RandomCase(std::string_view word, uint8_t bits) {
    std::string out(word);
    for (size_t i = 0; i < out.size(); ++i) {
        if (((bits >> i) & 1) != 0) {
            out[i] = static_cast<char>(out[i] - 'A' + 'a');
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    CheckDecoder(all);

    fuzz::ByteReader reader(data, size);
    const uint8_t caseBits = reader.Byte();
    std::string user = reader.ShortText(24);
    const std::string password = reader.ShortText(24);
    const std::string header = reader.Rest();

    // Arbitrary header values against the rules.
    FUZZ_CHECK(IsProxyAuthorized(header, user, password) == ReferenceAuthorized(header, user, password),
               "value \"" + fuzz::Escaped(header) + "\" user \"" + fuzz::Escaped(user) + "\" password \"" +
                   fuzz::Escaped(password) + "\"");

    // Correct Base64 round-trips, whatever fillers it carries.
    const std::string encoded = Encode(header);
    fuzz::ByteReader fillerChoice(data, size);
    const std::string spread = Interleave(encoded, fillerChoice);
    FUZZ_CHECK(DecodeBase64Text(encoded) == header, "bytes \"" + fuzz::Escaped(header) + "\"");
    FUZZ_CHECK(DecodeBase64Text(spread) == header,
               "bytes \"" + fuzz::Escaped(header) + "\" as \"" + fuzz::Escaped(spread) + "\"");

    // Own credentials are accepted, with the scheme in any case and blanks
    // around; a user name cannot hold ":" (it would end the name).
    std::erase(user, ':');
    const std::string blanks((caseBits >> 5) & 3, ' ');
    const std::string credential = blanks + RandomCase("BASIC", caseBits) + " " + blanks +
                                   Interleave(Encode(user + ":" + password), reader) + blanks;
    const std::string context = "user \"" + fuzz::Escaped(user) + "\" password \"" + fuzz::Escaped(password) +
                                "\" as \"" + fuzz::Escaped(credential) + "\"";
    FUZZ_CHECK(IsProxyAuthorized(credential, user, password), context);
    FUZZ_CHECK(!IsProxyAuthorized(credential, user, password + "x"), context);
    FUZZ_CHECK(!IsProxyAuthorized(credential, user + "x", password), context);
    return 0;
}
