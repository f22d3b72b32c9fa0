// Checks of a configuration and the names of its choices.
#include <arpa/inet.h>

#include <cmath>

#include "camsim/block_ids.h"
#include "camsim/camsim.h"
#include "camsim/gvsp_writer.h"

namespace qel::camsim {

namespace {

constexpr uint32_t kMaxImageSide = 65535;
constexpr uint32_t kMaxBatchPackets = 1024;
constexpr uint32_t kMaxHistoryFrames = 1 << 20;
constexpr uint32_t kMaxReorderDistance = 64;
constexpr uint32_t kMaxFileName = 255;

bool valid_ipv4(const std::string &text) {
    in_addr address{};
    return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

bool per_mille(uint32_t value) {
    return value <= 1000;
}

}  // namespace

bool FaultConfig::any() const {
    return loss_per_mille != 0 || burst_per_mille != 0 || leader_loss_per_mille != 0 ||
           trailer_loss_per_mille != 0 || reorder_per_mille != 0 || duplicate_per_mille != 0 ||
           !drops.empty();
}

uint16_t payload_type_code(PayloadKind kind) {
    switch (kind) {
        case PayloadKind::image:
            return 0x0001;
        case PayloadKind::raw:
            return 0x0002;
        case PayloadKind::file:
            return 0x0003;
        case PayloadKind::chunk:
            return 0x0004;
        case PayloadKind::extended_chunk:
            return 0x0005;
        case PayloadKind::image_extended_chunk:
            return kChunkPayloadBit | 0x0001;
    }
    return 0;
}

uint32_t bytes_per_pixel(PixelFormat format) {
    switch (format) {
        case PixelFormat::mono8:
        case PixelFormat::bayer_rg8:
            return 1;
        case PixelFormat::mono16:
            return 2;
        case PixelFormat::rgb8:
        case PixelFormat::bgr8:
            return 3;
    }
    return 0;
}

const char *pixel_format_name(PixelFormat format) {
    switch (format) {
        case PixelFormat::mono8:
            return "Mono8";
        case PixelFormat::mono16:
            return "Mono16";
        case PixelFormat::rgb8:
            return "RGB8";
        case PixelFormat::bgr8:
            return "BGR8";
        case PixelFormat::bayer_rg8:
            return "BayerRG8";
    }
    return "?";
}

const char *payload_kind_name(PayloadKind kind) {
    switch (kind) {
        case PayloadKind::image:
            return "image";
        case PayloadKind::raw:
            return "raw";
        case PayloadKind::file:
            return "file";
        case PayloadKind::chunk:
            return "chunk";
        case PayloadKind::extended_chunk:
            return "extended-chunk";
        case PayloadKind::image_extended_chunk:
            return "image-chunk";
    }
    return "?";
}

uint64_t block_id_for_frame(const Config &config, uint64_t frame) {
    return block_id_of_frame(config.first_block_id, config.extended_ids, frame);
}

std::string validate(const Config &config) {
    if (!valid_ipv4(config.dest_address)) {
        return "destination '" + config.dest_address + "' is not an IPv4 address";
    }
    if (config.dest_port == 0) return "destination port must not be 0";
    if (!config.source_address.empty() && !valid_ipv4(config.source_address)) {
        return "source '" + config.source_address + "' is not an IPv4 address";
    }
    if (!config.multicast_interface.empty() && !valid_ipv4(config.multicast_interface)) {
        return "multicast interface '" + config.multicast_interface + "' is not an IPv4 address";
    }
    if (config.listen && !valid_ipv4(config.control_address)) {
        return "control address '" + config.control_address + "' is not an IPv4 address";
    }
    switch (config.payload) {
        case PayloadKind::image:
        case PayloadKind::raw:
        case PayloadKind::file:
        case PayloadKind::chunk:
        case PayloadKind::extended_chunk:
        case PayloadKind::image_extended_chunk:
            break;
        default:
            return "unknown payload kind";
    }
    if (bytes_per_pixel(config.pixel_format) == 0) {
        return "pixel format must be Mono8, Mono16, RGB8, BGR8 or BayerRG8";
    }
    if (config.width == 0 || config.height == 0 || config.width > kMaxImageSide ||
        config.height > kMaxImageSide) {
        return "width and height must be from 1 to " + std::to_string(kMaxImageSide);
    }
    if ((config.payload == PayloadKind::raw ||
         (config.payload == PayloadKind::file && config.file_path.empty())) &&
        (config.data_size == 0 || config.data_size > kMaxPayloadBytes)) {
        return "data size must be from 1 to " + std::to_string(kMaxPayloadBytes) + " bytes";
    }
    if (config.file_name.size() > kMaxFileName ||
        config.file_name.find('\0') != std::string::npos) {
        return "file name must be at most " + std::to_string(kMaxFileName) + " bytes without NUL";
    }
    if (config.first_block_id == 0 || config.first_block_id > block_id_space(config.extended_ids)) {
        return config.extended_ids ? "first block id must not be 0"
                                   : "first block id must be from 1 to 65535";
    }
    if (config.packet_size < kMinPacketSize || config.packet_size > kMaxPacketSize) {
        return "packet size must be from " + std::to_string(kMinPacketSize) + " to " +
               std::to_string(kMaxPacketSize) + " bytes";
    }
    if (!std::isfinite(config.frame_rate) || config.frame_rate < 0 ||
        !std::isfinite(config.packet_rate) || config.packet_rate < 0) {
        return "rates must be finite and not negative";
    }
    if (config.batch_packets == 0 || config.batch_packets > kMaxBatchPackets) {
        return "batch must be from 1 to " + std::to_string(kMaxBatchPackets) + " packets";
    }
    if (config.history_frames == 0 || config.history_frames > kMaxHistoryFrames) {
        return "history must be from 1 to " + std::to_string(kMaxHistoryFrames) + " frames";
    }
    const FaultConfig &f = config.faults;
    if (!per_mille(f.loss_per_mille) || !per_mille(f.burst_per_mille) ||
        !per_mille(f.leader_loss_per_mille) || !per_mille(f.trailer_loss_per_mille) ||
        !per_mille(f.reorder_per_mille) || !per_mille(f.duplicate_per_mille)) {
        return "fault chances are per mille: from 0 to 1000";
    }
    if (f.burst_per_mille != 0 && f.burst_length == 0) return "burst length must not be 0";
    if (f.reorder_per_mille != 0 &&
        (f.reorder_distance == 0 || f.reorder_distance > kMaxReorderDistance)) {
        return "reorder distance must be from 1 to " + std::to_string(kMaxReorderDistance);
    }
    return {};
}

}  // namespace qel::camsim
