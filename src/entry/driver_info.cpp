// Driver information (opcode 14) and the unsupported request (opcode 10).
#include <array>
#include <string_view>

#include "entry/handlers.h"
#include "platform/host/host_report.h"

namespace {

// The banner, in code page 437: a newline, then five lines of 62 characters,
// each followed by a newline. Box drawing bytes of that code page:
constexpr char kDoubleBar = '\xBA';
constexpr char kDoubleTopLeft = '\xC9';
constexpr char kDoubleTopRight = '\xBB';
constexpr char kDoubleBottomLeft = '\xC8';
constexpr char kDoubleBottomRight = '\xBC';
constexpr char kDoubleHorizontal = '\xCD';
constexpr char kFullBlock = '\xDB';
constexpr char kDarkShade = '\xB2';
constexpr char kMediumShade = '\xB1';
constexpr char kLightShade = '\xB0';

constexpr std::size_t kBannerLineWidth = 62;
constexpr std::size_t kBannerLength = 1 + 5 * (kBannerLineWidth + 1);
constexpr std::string_view kTitle = " Q V O T K ";
constexpr std::string_view kInstalled = "TOVEK - ORBAL system, driver Installed.";
constexpr std::string_view kNotice = "qvotk RS-485 half-duplex driver, Version 7.50";
static_assert(kNotice.size() == 45);

struct BannerText {
  std::array<char, kBannerLength + 1> text{};
  std::size_t length = 0;

  constexpr void Put(char c, std::size_t times = 1) {
    for (std::size_t i = 0; i < times; ++i) text[length++] = c;
  }
  constexpr void Put(std::string_view s) {
    for (char c : s) text[length++] = c;
  }
};

constexpr BannerText MakeBanner() {
  BannerText b;
  b.Put('\n');
  b.Put(' ');
  b.Put(kDoubleTopLeft);
  b.Put(kDoubleHorizontal, 59);
  b.Put(kDoubleTopRight);
  b.Put('\n');

  b.Put(' ');
  b.Put(kDoubleBar);
  b.Put(' ');
  b.Put(kFullBlock, 5);
  b.Put(kDarkShade, 6);
  b.Put(kMediumShade, 6);
  b.Put(kLightShade, 6);
  b.Put(kTitle);
  b.Put(kLightShade, 6);
  b.Put(kMediumShade, 6);
  b.Put(kDarkShade, 6);
  b.Put(kFullBlock, 5);
  b.Put(' ');
  b.Put(kDoubleBar);
  b.Put('\n');

  b.Put(' ');
  b.Put(kDoubleBar);
  b.Put(' ', 11);
  b.Put(kInstalled);
  b.Put(' ', 9);
  b.Put(kDoubleBar);
  b.Put('\n');

  b.Put(' ');
  b.Put(kDoubleBar);
  b.Put(' ', 7);
  b.Put(kNotice);
  b.Put(' ', 7);
  b.Put(kDoubleBar);
  b.Put('\n');

  b.Put(' ');
  b.Put(kDoubleBottomLeft);
  b.Put(kDoubleHorizontal, 59);
  b.Put(kDoubleBottomRight);
  b.Put('\n');
  b.Put('\0');
  return b;
}

constexpr BannerText kBanner = MakeBanner();
static_assert(kBanner.length == kBannerLength + 1, "banner is 316 characters and its terminator");

constexpr uint32_t kDriverCode = 70;
constexpr uint32_t kPresetA = 4;
constexpr uint32_t kPresetB = 1;
constexpr LineParams kDefaultLine = {2400, 8, 0, 0};

}  // namespace

QvoStatus GetDriverInfo(QvoRequest* request) {
  auto* info = static_cast<QvoDriverInfo*>(request->params);
  if (info == nullptr) return QVO_STATUS_REJECTED;
  info->driverCode = kDriverCode;
  info->driverName = kDriverName;
  info->banner = kBanner.text.data();
  info->channelSize = sizeof(QvoChannel);
  info->presetA = kPresetA;
  info->defaultLine = kDefaultLine;
  info->presetB = kPresetB;
  return QVO_STATUS_OK;
}

QvoStatus RejectRequest(QvoRequest*) { return QVO_STATUS_REJECTED; }
