// The GenICam description that the simulator serves from its memory: the features a client
// sets on a camera before it streams, each mapped onto a register of gvcp_device.h.
#include <string>

#include "camsim/gvcp_device.h"

namespace qel::camsim {

namespace {

// Joins the pieces by appending them: chains of `+` on temporaries make GCC's -Wrestrict
// warn falsely at -O3.
template <typename... Pieces>
std::string cat(const Pieces &...pieces) {
    std::string text;
    ((text += pieces), ...);
    return text;
}

std::string reg_node(const char *kind, const std::string &name, uint32_t address,
                     const char *access, const std::string &extra) {
    return cat("<", kind, " Name=\"", name, "\"><Address>", std::to_string(address),
               "</Address><Length>4</Length><AccessMode>", access,
               "</AccessMode><pPort>Device</pPort>", extra, "</", kind, ">\n");
}

// An unsigned big-endian 32-bit register.
std::string int_reg(const std::string &name, uint32_t address, const char *access,
                    bool cached = true) {
    return reg_node("IntReg", name, address, access,
                    cat(cached ? "" : "<Cachable>NoCache</Cachable>",
                        "<Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>"));
}

// The low 16 bits of a big-endian 32-bit register.
std::string low_half_reg(const std::string &name, uint32_t address) {
    return reg_node("MaskedIntReg", name, address, "RW",
                    "<LSB>31</LSB><MSB>16</MSB><Sign>Unsigned</Sign>"
                    "<Endianess>BigEndian</Endianess>");
}

std::string integer(const std::string &name, const std::string &value, uint32_t min, uint32_t max) {
    return cat("<Integer Name=\"", name, "\" NameSpace=\"Standard\"><pValue>", value,
               "</pValue><Min>", std::to_string(min), "</Min><Max>", std::to_string(max),
               "</Max><Inc>1</Inc></Integer>\n");
}

std::string string_reg(const std::string &name, uint32_t address, uint32_t length) {
    return cat("<StringReg Name=\"", name, "\" NameSpace=\"Standard\"><Address>",
               std::to_string(address), "</Address><Length>", std::to_string(length),
               "</Length><AccessMode>RO</AccessMode><pPort>Device</pPort></StringReg>\n");
}

std::string command(const std::string &name, uint32_t address) {
    return cat("<Command Name=\"", name, "\" NameSpace=\"Standard\"><pValue>", name,
               "Reg</pValue><CommandValue>1</CommandValue></Command>\n",
               int_reg(name + "Reg", address, "WO"));
}

std::string category(const std::string &name, std::initializer_list<const char *> features) {
    std::string text = cat("<Category Name=\"", name, "\" NameSpace=\"Standard\">");
    for (const char *feature : features) text += cat("<pFeature>", feature, "</pFeature>");
    return text + "</Category>\n";
}

}  // namespace

std::string genicam_xml(const DeviceIdentity &identity) {
    std::string x =
        cat("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<RegisterDescription ModelName=\"",
            identity.model, "\" VendorName=\"", identity.vendor,
            "\" ToolTip=\"A GigE Vision camera simulator\" StandardNameSpace=\"GEV\""
            " SchemaMajorVersion=\"1\" SchemaMinorVersion=\"1\" SchemaSubMinorVersion=\"0\""
            " MajorVersion=\"1\" MinorVersion=\"0\" SubMinorVersion=\"0\""
            " ProductGuid=\"7a1c3e52-5d0b-4c1e-9a55-6b2f0c8e4d11\""
            " VersionGuid=\"0f6e2b94-3c7d-4a8e-b1d2-5e9f7a0c3b21\""
            " xmlns=\"http://www.genicam.org/GenApi/Version_1_1\">\n");
    x += category("Root", {"DeviceControl", "ImageFormatControl", "AcquisitionControl",
                           "TransportLayerControl"});
    x += category("DeviceControl", {"DeviceVendorName", "DeviceModelName", "DeviceVersion",
                                    "DeviceSerialNumber", "DeviceUserID"});
    x += category("ImageFormatControl", {"Width", "Height", "PixelFormat", "PayloadSize"});
    x += category("AcquisitionControl", {"AcquisitionMode", "AcquisitionStart", "AcquisitionStop",
                                         "AcquisitionFrameRate"});
    x += category("TransportLayerControl",
                  {"GevSCPSPacketSize", "GevSCDA", "GevSCPHostPort", "TLParamsLocked"});

    x += string_reg("DeviceVendorName", kRegManufacturerName, 32);
    x += string_reg("DeviceModelName", kRegModelName, 32);
    x += string_reg("DeviceVersion", kRegDeviceVersion, 32);
    x += string_reg("DeviceSerialNumber", kRegSerialNumber, 16);
    x += string_reg("DeviceUserID", kRegUserName, 16);

    x += integer("Width", "WidthReg", 1, kMaxImageSideDevice);
    x += int_reg("WidthReg", kFeatureWidth, "RW");
    x += integer("Height", "HeightReg", 1, kMaxImageSideDevice);
    x += int_reg("HeightReg", kFeatureHeight, "RW");
    x += "<Enumeration Name=\"PixelFormat\" NameSpace=\"Standard\">";
    for (const PixelFormat format : kPixelFormats) {
        x += cat("<EnumEntry Name=\"", pixel_format_name(format), "\"><Value>",
                 std::to_string(static_cast<uint32_t>(format)), "</Value></EnumEntry>");
    }
    x += "<pValue>PixelFormatReg</pValue></Enumeration>\n";
    x += int_reg("PixelFormatReg", kFeaturePixelFormat, "RW");
    // It follows from the three above.
    x += "<Integer Name=\"PayloadSize\" NameSpace=\"Standard\"><pValue>PayloadSizeReg</pValue>"
         "</Integer>\n";
    x += int_reg("PayloadSizeReg", kFeaturePayloadSize, "RO", false);

    x += "<Enumeration Name=\"AcquisitionMode\" NameSpace=\"Standard\">"
         "<EnumEntry Name=\"Continuous\"><Value>0</Value></EnumEntry>"
         "<pValue>AcquisitionModeReg</pValue></Enumeration>\n";
    x += int_reg("AcquisitionModeReg", kFeatureAcquisitionMode, "RW");
    x += command("AcquisitionStart", kFeatureAcquisitionStart);
    x += command("AcquisitionStop", kFeatureAcquisitionStop);
    x += cat(
        "<Float Name=\"AcquisitionFrameRate\" NameSpace=\"Standard\">"
        "<pValue>AcquisitionFrameRateReg</pValue><Min>0.1</Min><Max>",
        std::to_string(static_cast<int>(kMaxDeviceFrameRate)), "</Max><Unit>Hz</Unit></Float>\n");
    x += reg_node("FloatReg", "AcquisitionFrameRateReg", kFeatureFrameRate, "RW",
                  "<Endianess>BigEndian</Endianess>");

    x += integer("GevSCPSPacketSize", "GevSCPSPacketSizeReg", kMinPacketSize, 0xFFFF);
    x += low_half_reg("GevSCPSPacketSizeReg", kRegStreamPacketSize);
    x += integer("GevSCDA", "GevSCDAReg", 0, UINT32_MAX);
    x += int_reg("GevSCDAReg", kRegStreamDestination, "RW");
    x += integer("GevSCPHostPort", "GevSCPHostPortReg", 0, 0xFFFF);
    x += low_half_reg("GevSCPHostPortReg", kRegStreamPort);
    x += integer("TLParamsLocked", "TLParamsLockedReg", 0, 1);
    x += int_reg("TLParamsLockedReg", kFeatureParamsLocked, "RW");

    x += "<Port Name=\"Device\" NameSpace=\"Standard\"/>\n</RegisterDescription>\n";
    return x;
}

}  // namespace qel::camsim
