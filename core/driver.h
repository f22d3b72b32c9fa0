// The driver command set: every command's code and its record, as the driver and the adapter
// firmware expect them. Records are little-endian; their sizes and offsets are an interface and
// are pinned below.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace qel::driver {

static_assert(std::endian::native == std::endian::little,
              "driver records are little-endian and are laid over host integers");

// A device-control code: device type, access, function and transfer method.
constexpr uint32_t control_code(uint32_t device_type, uint32_t function, uint32_t method,
                                uint32_t access) {
    return (device_type << 16) | (access << 14) | (function << 2) | method;
}

constexpr uint32_t kDeviceType = 0x22;
constexpr uint32_t kMethodNeither = 3;
constexpr uint32_t kAccessAny = 0;

constexpr uint32_t command(uint32_t function) {
    return control_code(kDeviceType, function, kMethodNeither, kAccessAny);
}

// clang-format off
constexpr uint32_t TREL_GET_VERSION     = command(0x801);
constexpr uint32_t TREL_GET_BOARD_MAX   = command(0x802);
constexpr uint32_t TREL_GET_NUM_BOARDS  = command(0x805);
constexpr uint32_t TREL_GET_BOARD_INFO  = command(0x80A);
constexpr uint32_t TREL_GET_NIC_ID      = command(0x80D);
constexpr uint32_t TREL_MMAP            = command(0x80F);
constexpr uint32_t TREL_GET_ENDPT_MAX   = command(0x832);
constexpr uint32_t TREL_GET_MAC_ADDR    = command(0x837);
constexpr uint32_t TREL_GET_TIMESOURCE  = command(0x85D);
constexpr uint32_t TREL_WAIT_DESC       = command(0x92C);
constexpr uint32_t TREL_PIN_BUF         = command(0x92D);
constexpr uint32_t TREL_UNPIN_BUF       = command(0x92E);
constexpr uint32_t TREL_QUEUE_BUF       = command(0x92F);
constexpr uint32_t TREL_FILTER_OP       = command(0x930);
constexpr uint32_t TREL_SET_NAME        = command(0x932);
constexpr uint32_t TREL_GET_NAME        = command(0x933);
constexpr uint32_t TREL_RESET_NAME      = command(0x934);
constexpr uint32_t TREL_RESET_ALL_NAMES = command(0x935);
constexpr uint32_t TREL_DROP_PACKET     = command(0x93A);
constexpr uint32_t TREL_SET_EXT_ID      = command(0x93B);
constexpr uint32_t TREL_GET_ENDPT_MAPS  = command(0xB91);
constexpr uint32_t TREL_GET_SERIAL      = command(0xBAA);
constexpr uint32_t TREL_GET_LINK_STATE  = command(0xBB4);
constexpr uint32_t TREL_OPEN_ENDPT      = command(0xBE9);
constexpr uint32_t TREL_ENABLE_ENDPT    = command(0xBEA);

// The codes as the driver publishes them: the computation above must agree.
static_assert(TREL_GET_VERSION     == 0x222007);
static_assert(TREL_GET_BOARD_MAX   == 0x22200B);
static_assert(TREL_GET_NUM_BOARDS  == 0x222017);
static_assert(TREL_GET_BOARD_INFO  == 0x22202B);
static_assert(TREL_GET_NIC_ID      == 0x222037);
static_assert(TREL_MMAP            == 0x22203F);
static_assert(TREL_GET_ENDPT_MAX   == 0x2220CB);
static_assert(TREL_GET_MAC_ADDR    == 0x2220DF);
static_assert(TREL_GET_TIMESOURCE  == 0x222177);
static_assert(TREL_WAIT_DESC       == 0x2224B3);
static_assert(TREL_PIN_BUF         == 0x2224B7);
static_assert(TREL_UNPIN_BUF       == 0x2224BB);
static_assert(TREL_QUEUE_BUF       == 0x2224BF);
static_assert(TREL_FILTER_OP       == 0x2224C3);
static_assert(TREL_SET_NAME        == 0x2224CB);
static_assert(TREL_GET_NAME        == 0x2224CF);
static_assert(TREL_RESET_NAME      == 0x2224D3);
static_assert(TREL_RESET_ALL_NAMES == 0x2224D7);
static_assert(TREL_DROP_PACKET     == 0x2224EB);
static_assert(TREL_SET_EXT_ID      == 0x2224EF);
static_assert(TREL_GET_ENDPT_MAPS  == 0x222E47);
static_assert(TREL_GET_SERIAL      == 0x222EAB);
static_assert(TREL_GET_LINK_STATE  == 0x222ED3);
static_assert(TREL_OPEN_ENDPT      == 0x222FA7);
static_assert(TREL_ENABLE_ENDPT    == 0x222FAB);
// clang-format on

// TREL_GET_VERSION, out.
struct VersionRecord {
    uint32_t api_version;  // minor in bits 0-7, major in bits 8-31
    char version[60];      // NUL-terminated
    char build[128];       // NUL-terminated
};

// TREL_GET_BOARD_MAX, TREL_GET_NUM_BOARDS, TREL_GET_ENDPT_MAX (out); TREL_GET_BOARD_INFO,
// TREL_GET_LINK_STATE, TREL_GET_TIMESOURCE (board in, value out); TREL_WAIT_DESC (timeout in),
// TREL_UNPIN_BUF (index in), TREL_SET_EXT_ID (flag in).
struct WordRecord {
    uint32_t value;
};

// TREL_GET_NIC_ID, TREL_GET_MAC_ADDR: board in, MAC form out.
struct MacRecord {
    uint32_t board;
    uint32_t unused;
    uint64_t mac;  // 48 bits, first octet in bits 40-47
};

// TREL_GET_SERIAL: board in, the driver writes NUL-terminated text at `buffer`.
struct SerialRecord {
    uint32_t board;
    uint32_t unused;
    uint64_t buffer;
};

// TREL_SET_NAME, TREL_GET_NAME, TREL_RESET_NAME.
struct NameRecord {
    uint8_t key[32];  // six MAC octets, or "S=..." text, NUL-terminated
    uint64_t name;    // set: the name text; get: a 256-byte buffer the driver fills
    uint32_t length;  // set: length with the terminating NUL, at most 256
    uint32_t unused;
};
constexpr uint32_t kNameBytes = 256;

// TREL_OPEN_ENDPT.
struct OpenEndpointRecord {
    uint32_t endpoint;
    uint32_t magic;  // always kOpenEndpointMagic
};
constexpr uint32_t kOpenEndpointMagic = 500;

// TREL_GET_ENDPT_MAPS, out.
struct RegionPlace {
    uint32_t offset;  // to be passed to TREL_MMAP
    uint32_t length;
};
struct EndpointMapsRecord {
    uint32_t unused_head[2];
    RegionPlace region1;
    RegionPlace region0;
    RegionPlace region2;
    RegionPlace region3;
    RegionPlace region4;
    RegionPlace region5;
    uint32_t unused_tail[2];
};
constexpr int kRegionCount = 6;

// TREL_MMAP.
struct MmapRecord {
    uint32_t offset;
    uint32_t length;
    uint64_t address;  // in: wanted address (0: anywhere); out: where it is mapped
    uint32_t all_ones;
    uint32_t unused;
};

// TREL_FILTER_OP.
struct FilterRecord {
    uint32_t address;  // first octet most significant; 0 for delete
    uint16_t port;     // 0 for delete
    uint16_t vlan;     // always 0
    uint16_t tag;      // always 1
    uint8_t operation;
    uint8_t reserved11;
    uint8_t reserved12;
    uint8_t unused[3];
};
constexpr uint8_t kFilterAdd = 0;
constexpr uint8_t kFilterDelete = 1;

// TREL_PIN_BUF.
struct PinRecord {
    uint64_t address;  // a multiple of 4096
    uint32_t length;
    uint32_t index;  // out
};

// TREL_QUEUE_BUF.
struct QueueRecord {
    uint32_t index;
    uint32_t credit;
};

// TREL_DROP_PACKET.
struct DropPacketRecord {
    uint32_t block;
    uint32_t packet;
};

// clang-format off
static_assert(sizeof(VersionRecord) == 192);
static_assert(offsetof(VersionRecord, version) == 4 && offsetof(VersionRecord, build) == 64);
static_assert(sizeof(WordRecord) == 4);
static_assert(sizeof(MacRecord) == 16 && offsetof(MacRecord, mac) == 8);
static_assert(sizeof(SerialRecord) == 16 && offsetof(SerialRecord, buffer) == 8);
static_assert(sizeof(NameRecord) == 48);
static_assert(offsetof(NameRecord, name) == 32 && offsetof(NameRecord, length) == 40);
static_assert(sizeof(OpenEndpointRecord) == 8 && offsetof(OpenEndpointRecord, magic) == 4);
static_assert(sizeof(EndpointMapsRecord) == 64);
static_assert(offsetof(EndpointMapsRecord, region1) == 8);
static_assert(offsetof(EndpointMapsRecord, region0) == 16);
static_assert(offsetof(EndpointMapsRecord, region2) == 24);
static_assert(offsetof(EndpointMapsRecord, region3) == 32);
static_assert(offsetof(EndpointMapsRecord, region4) == 40);
static_assert(offsetof(EndpointMapsRecord, region5) == 48);
static_assert(sizeof(MmapRecord) == 24);
static_assert(offsetof(MmapRecord, address) == 8 && offsetof(MmapRecord, all_ones) == 16);
static_assert(sizeof(FilterRecord) == 16);
static_assert(offsetof(FilterRecord, port) == 4 && offsetof(FilterRecord, vlan) == 6);
static_assert(offsetof(FilterRecord, tag) == 8 && offsetof(FilterRecord, operation) == 10);
static_assert(offsetof(FilterRecord, reserved11) == 11 && offsetof(FilterRecord, reserved12) == 12);
static_assert(sizeof(PinRecord) == 16);
static_assert(offsetof(PinRecord, length) == 8 && offsetof(PinRecord, index) == 12);
static_assert(sizeof(QueueRecord) == 8 && offsetof(QueueRecord, credit) == 4);
static_assert(sizeof(DropPacketRecord) == 8 && offsetof(DropPacketRecord, packet) == 4);
// clang-format on

// Region i's place in the maps record, in region order 0 to 5.
inline RegionPlace &region_place(EndpointMapsRecord &maps, int region) {
    RegionPlace *places[kRegionCount] = {&maps.region0, &maps.region1, &maps.region2,
                                         &maps.region3, &maps.region4, &maps.region5};
    return *places[region];
}

// How a device host reports failures: bit 29 marks the driver's own code in the low 29 bits;
// path-not-found is the host's own error 3; any other value is some other host failure.
constexpr uint32_t kHostDriverCodeBit = 1u << 29;
constexpr uint32_t kHostPathNotFound = 3;
constexpr uint32_t host_error_of_driver_code(uint32_t code) {
    return kHostDriverCodeBit | code;
}

// The driver API the library speaks.
constexpr uint32_t kDriverApiMajor = 1;

}  // namespace qel::driver
