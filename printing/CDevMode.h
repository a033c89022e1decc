#pragma once
// CDevMode: a read-only snapshot of a printer's or a print job's device mode,
// the 124 bytes of public fields of the 8-bit DEVMODE layout. On CUPS the
// printer-management classes build those bytes from the queue's defaults or
// the job's options (media, orientation, resolution, copies, colour, sides).
#include <array>
#include <cstdint>
#include <string>

namespace brevant {

class CDevMode {
 public:
  static constexpr std::size_t kSize = 124;

  // Copies the first 124 bytes of a DEVMODE; a null address leaves the
  // snapshot unchanged. Used only by the printer-management classes.
  void Load(const void* devMode);

  std::int32_t BitsPerPel() const { return Get32(104); }
  std::int16_t Collate() const { return Get16(68); }
  std::int16_t Color() const { return Get16(60); }
  std::int16_t Copies() const { return Get16(54); }
  std::int16_t DefaultSource() const { return Get16(56); }
  std::string DeviceName() const { return Name(0); }
  std::int32_t DisplayFrequency() const { return Get32(120); }
  std::int16_t DriverVersion() const { return Get16(34); }
  std::int16_t Duplex() const { return Get16(62); }
  std::int32_t Fields() const { return Get32(40); }
  std::string FormName() const { return Name(70); }
  std::int16_t LogPixels() const { return Get16(102); }
  std::int32_t NUP() const { return Get32(116); }
  std::int16_t Orientation() const { return Get16(44); }
  std::int16_t PaperLength() const { return Get16(48); }
  std::int16_t PaperSize() const { return Get16(46); }
  std::int16_t PaperWidth() const { return Get16(50); }
  std::int32_t PelsHeight() const { return Get32(112); }
  std::int32_t PelsWidth() const { return Get32(108); }
  std::int16_t PrintQuality() const { return Get16(58); }
  std::int16_t ScaleFactor() const { return Get16(52); }
  std::int16_t SpecVersion() const { return Get16(32); }
  std::int16_t TTOption() const { return Get16(66); }
  std::int16_t YResolution() const { return Get16(64); }

  // The whole snapshot (for diagnostics and tests).
  const std::array<std::uint8_t, kSize>& Bytes() const { return bytes_; }

 private:
  std::int16_t Get16(std::size_t off) const;
  std::int32_t Get32(std::size_t off) const;
  std::string Name(std::size_t off) const;
  std::array<std::uint8_t, kSize> bytes_{};
};

// Builds DEVMODE bytes (little-endian, the layout CDevMode reads). Used by
// the CUPS side to describe a queue's defaults and a job's options.
class DevModeBuilder {
 public:
  DevModeBuilder();
  DevModeBuilder& DeviceName(const std::string& name);
  DevModeBuilder& FormName(const std::string& name);
  DevModeBuilder& Set16(std::size_t offset, std::int16_t value, std::uint32_t field);
  DevModeBuilder& Set32(std::size_t offset, std::int32_t value, std::uint32_t field);
  const std::array<std::uint8_t, CDevMode::kSize>& Bytes() const { return bytes_; }

  // Offsets and field bits of the DEVMODE members the builder fills.
  static constexpr std::size_t kOrientation = 44, kPaperSize = 46, kPaperLength = 48, kPaperWidth = 50,
                               kScale = 52, kCopies = 54, kPrintQuality = 58, kColor = 60, kDuplex = 62,
                               kYResolution = 64, kCollate = 68, kNup = 116;
  static constexpr std::uint32_t DM_ORIENTATION = 0x1, DM_PAPERSIZE = 0x2, DM_PAPERLENGTH = 0x4,
                                 DM_PAPERWIDTH = 0x8, DM_SCALE = 0x10, DM_COPIES = 0x100,
                                 DM_PRINTQUALITY = 0x400, DM_COLOR = 0x800, DM_DUPLEX = 0x1000,
                                 DM_YRESOLUTION = 0x2000, DM_COLLATE = 0x8000, DM_FORMNAME = 0x10000,
                                 DM_NUP = 0x40;

 private:
  std::uint32_t Fields() const;
  std::array<std::uint8_t, CDevMode::kSize> bytes_{};
};

}  // namespace brevant
