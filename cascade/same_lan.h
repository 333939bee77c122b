// The master's rule for a child's login: the child must be on the master's
// local network, judged by comparing address texts.
//
// Address and mask lists are texts in which every entry is followed by "&"
// ("192.168.1.10&10.0.0.5&"), masks in the order of their addresses.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The entries of an "&"-separated list; an empty last piece (after the
// final "&") is dropped, empty inner pieces are kept.
std::vector<std::string> SplitText(std::string_view list);

// n = the number of "255." in the mask text (255.255.255.0 gives 3,
// 255.255.255.255 gives 3 too); p = the position of the n-th "." in a (its
// end when a has fewer dots or n is 0). False when p is 0; otherwise true
// when the first p characters of a and b are equal as text. The comparison
// is of characters, so 192.168.1.10 and 192.168.10.5 count as one /24: peers
// and logs rely on the rule as it stands.
bool IsSameLan(const std::string& a, const std::string& mask, const std::string& b);

// True when one of the child's addresses, under its own mask, is on the
// network of one of the master's addresses whose mask is the same text.
// Lists whose counts differ (the child's addresses and masks, or the
// master's) give false. A non-empty peer address (the address the child
// connected from) limits the child's addresses to that one.
bool CheckSameLan(std::string_view childIps, std::string_view childMasks, const std::string& peer,
                  std::string_view ownIps, std::string_view ownMasks);
