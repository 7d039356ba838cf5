// Just enough of the pcap format to read the committed captures: Ethernet
// frames, IPv4 and IPv6 payloads, and the tshark field table beside them.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

struct pcap_ip_packet {
    unsigned number; // frame number, from 1
    std::vector<uint8_t> ip;
};

// IP packets of a pcap file of Ethernet frames; other frames are skipped but
// counted, so numbers agree with tshark's. Empty on any format error.
inline std::vector<pcap_ip_packet> pcap_read_ip(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::vector<uint8_t> d((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<pcap_ip_packet> out;
    if (d.size() < 24)
        return {};
    uint32_t magic;
    std::memcpy(&magic, d.data(), 4);
    bool swapped = magic == 0xd4c3b2a1 || magic == 0x4d3cb2a1;
    if (!swapped && magic != 0xa1b2c3d4 && magic != 0xa1b23c4d)
        return {};
    auto u32 = [&](size_t off) {
        uint32_t v;
        std::memcpy(&v, d.data() + off, 4);
        return swapped ? __builtin_bswap32(v) : v;
    };
    if (u32(20) != 1) // Ethernet
        return {};
    unsigned number = 0;
    for (size_t off = 24; off + 16 <= d.size();) {
        uint32_t caplen = u32(off + 8);
        off += 16;
        if (caplen > d.size() - off)
            return {};
        number++;
        const uint8_t *fr = d.data() + off;
        size_t l2 = 14;
        uint16_t type = caplen >= 14 ? static_cast<uint16_t>(fr[12] << 8 | fr[13]) : 0;
        if (type == 0x8100 && caplen >= 18) {
            type = static_cast<uint16_t>(fr[16] << 8 | fr[17]);
            l2 = 18;
        }
        if ((type == 0x0800 || type == 0x86dd) && caplen > l2)
            out.push_back({number, std::vector<uint8_t>(fr + l2, fr + caplen)});
        off += caplen;
    }
    return out;
}

// tshark -T fields output with a header line: one map per frame, by frame number.
using tshark_row = std::map<std::string, std::string>;

inline std::map<unsigned, tshark_row> tshark_read_fields(const std::string &path)
{
    std::ifstream f(path);
    std::string line;
    std::vector<std::string> names;
    std::map<unsigned, tshark_row> rows;
    auto split = [](const std::string &s) {
        std::vector<std::string> v;
        std::string cell;
        std::istringstream in(s);
        while (std::getline(in, cell, '\t'))
            v.push_back(cell);
        if (!s.empty() && s.back() == '\t')
            v.push_back("");
        return v;
    };
    if (!std::getline(f, line))
        return rows;
    names = split(line);
    while (std::getline(f, line)) {
        std::vector<std::string> cells = split(line);
        tshark_row row;
        for (size_t i = 0; i < names.size() && i < cells.size(); i++)
            row[names[i]] = cells[i];
        rows[static_cast<unsigned>(std::stoul(row["frame.number"]))] = row;
    }
    return rows;
}

// The first of tshark's comma-aggregated values.
inline std::string tshark_first(const tshark_row &row, const std::string &field)
{
    auto it = row.find(field);
    if (it == row.end())
        return "";
    return it->second.substr(0, it->second.find(','));
}
