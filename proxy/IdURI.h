// IdURI: splits a request target (absolute or relative) into scheme, user
// information, host, port, directory, document, query and fragment. Purely
// textual: validates and decodes nothing, and yields a split for any input.
#pragma once

#include <string>
#include <string_view>

#include "base/IdGlobal.h"

class TIdURI {
public:
    explicit TIdURI(std::string_view text = {});

    // Clears every part and parses text.
    void SetText(std::string_view text);

    // text with every backslash turned into a slash.
    static std::string NormalizeSlashes(std::string_view text);

    const std::string& LeafName() const noexcept { return leafName_; }
    const std::string& Scheme() const noexcept { return scheme_; }
    const std::string& FullText() const noexcept { return fullText_; }
    const std::string& PortText() const noexcept { return portText_; }
    const std::string& Directory() const noexcept { return directory_; }
    const std::string& HostName() const noexcept { return hostName_; }
    const std::string& Fragment() const noexcept { return fragment_; }
    const std::string& LoginName() const noexcept { return loginName_; }
    const std::string& LoginPassword() const noexcept { return loginPassword_; }
    const std::string& QueryPart() const noexcept { return queryPart_; }
    TIdIPVersion AddressFamily() const noexcept { return addressFamily_; }

private:
    void Clear();
    void ParseAuthority(std::string authority);
    // Splits rest into directory, document and query; an absolute URI's
    // directory gets the slash that was cut off with the authority back.
    void ParsePath(const std::string& rest, bool absolute);

    std::string leafName_;
    std::string scheme_;
    std::string fullText_;
    std::string portText_;
    std::string directory_;
    std::string hostName_;
    std::string fragment_;
    std::string loginName_;
    std::string loginPassword_;
    std::string queryPart_;
    TIdIPVersion addressFamily_ = Id_IPv4;
};
