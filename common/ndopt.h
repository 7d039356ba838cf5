// IPv6 neighbour-discovery option lists: type byte, length byte in units of
// 8 octets, data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// The first option of the type, with the bytes that remain from it on; empty
// when there is none. The walk stops at a zero length or one that overruns.
std::span<uint8_t> ndopt_find(std::span<uint8_t> options, uint8_t type);
// Moves the options after `option` down over it; returns the new length of the
// list, or the old one when `option` is no whole option inside it.
size_t ndopt_remove(std::span<uint8_t> options, const uint8_t *option);
// Writes an option of n data bytes (data may be null), padded to 8 octets;
// null when it does not fit.
uint8_t *ndopt_add(uint8_t *buffer, size_t room, uint8_t type, const void *data, size_t n);
