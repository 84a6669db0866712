// IP access filter: decides whether a peer's IPv4 address is admitted by a
// user-written address list such as the management and upgrade address
// settings.
//
// List syntax: items separated by commas; an item is one dotted IPv4 address
// or an inclusive range of two addresses joined by a hyphen, in either order.
// Only digits, '.', '-' and ',' carry meaning; every other character is removed
// before parsing (so "a, b" is two items but "a b" runs together into one). An
// item whose address is 0.0.0.0, or an item whose first address is invalid,
// ends the list. Addresses are compared as numbers in host byte order.
#pragma once

#include "foundation/tqstring.h"

// 1 when ip (network byte order, as in in_addr) is admitted by list, else 0.
// error is cleared first and receives the first problem found in the list:
// "Invalid IP address (<text>) specified" or, failing that, "Illegal character
// (<c>) specified" for the first character outside the list set. A problem
// never changes the answer beyond ending the scan at an invalid first address.
int IPAllowed(unsigned int ip, const String& list, String& error);

// 1 for the characters that carry meaning in a list (0-9 . - ,), else 0.
int islistsetchar(char c);

// Takes the next item off the front of work. low and high receive its
// addresses in host byte order (high 0 for a single address; low 0 when no item
// is left or its first address is invalid, in which case work is not
// shortened). An invalid address sets error to "Invalid IP address (<text>)
// specified"; an invalid second address leaves a single-address item.
void getitem(String& work, unsigned int& low, unsigned int& high, String& error);
