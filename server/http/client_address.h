#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <vector>

namespace parlonda {

// A header value, or a part of one, without the spaces and tabs around it.
std::string_view trimmed(std::string_view text);

// The bytes that stand for one client in every per-address count: an IPv4
// address (also when it comes IPv4-mapped over an IPv6 socket) or the first
// 64 bits of an IPv6 one, which one subscriber usually gets whole. Empty for
// anything else.
std::string clientKey(const sockaddr *address);

// Networks in CIDR notation ("10.0.0.0/8", "2001:db8::/32", or one address),
// such as the load balancers and reverse proxies the service trusts to name
// their clients.
class AddressRanges
{
public:
    // False with the reason in `error` when `cidr` is not a numeric address
    // with an optional prefix length that fits it. An IPv4-mapped IPv6 range
    // (::ffff:10.0.0.0/104) is taken as the IPv4 one (10.0.0.0/8).
    bool add(std::string_view cidr, std::string &error);
    // IPv4-mapped IPv6 addresses match the IPv4 ranges.
    bool contains(const sockaddr *address) const;
    bool empty() const { return m_ranges.empty(); }

private:
    struct Range
    {
        bool v4;
        std::array<std::uint8_t, 16> bytes;
        unsigned prefix;
    };
    std::vector<Range> m_ranges;
};

// AddressRanges that a reload may replace while connections come in: each
// look-up sees the old ranges or the new ones, whole.
class ReplaceableAddressRanges
{
public:
    explicit ReplaceableAddressRanges(AddressRanges ranges = {})
        : m_ranges(std::make_shared<const AddressRanges>(std::move(ranges)))
    {
    }
    bool contains(const sockaddr *address) const { return m_ranges.load()->contains(address); }
    std::shared_ptr<const AddressRanges> current() const { return m_ranges.load(); }
    void replace(AddressRanges ranges)
    {
        m_ranges.store(std::make_shared<const AddressRanges>(std::move(ranges)));
    }

private:
    std::atomic<std::shared_ptr<const AddressRanges>> m_ranges;
};

// The client an HTTP reverse proxy names in X-Forwarded-For ("client,
// proxy1, proxy2", each proxy appending the address it got the request
// from): the rightmost address that is not itself trusted, since anything
// left of it may have been written by the client. When every address is
// trusted, the leftmost. An entry may carry a port ("192.0.2.7:4711",
// "[2001:db8::7]:443") or brackets, which are dropped. Nothing when the
// header is empty or the address to take is not a numeric one.
std::optional<sockaddr_storage> forwardedClient(std::string_view header,
                                                const AddressRanges &trusted);

} // namespace parlonda
