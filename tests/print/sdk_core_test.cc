// Pieces of the printer SDK that a pseudo-terminal cannot show: the full
// termios mapping and the banding of tall pictures.
#include <gtest/gtest.h>

#include <cerrno>

#include "escpos.h"
#include "image.h"
#include "serial_termios.h"

namespace possdk {
namespace {

TEST(SerialTermios, EachSettingMapsToItsFlags) {
  struct Case {
    SerialSettings s;
    tcflag_t size;
    tcflag_t cset, cclear, iset;
  };
  const Case cases[] = {
      {{9600, 8, 0, 0, 3}, CS8, 0, CSTOPB | PARENB | CRTSCTS, 0},
      {{9600, 7, 0, 2, 3}, CS7, PARENB, PARODD | CMSPAR, 0},
      {{9600, 8, 2, 1, 1}, CS8, CSTOPB | PARENB | PARODD | CRTSCTS, CMSPAR, 0},
      {{9600, 5, 1, 3, 2}, CS5, CSTOPB | PARENB | PARODD | CMSPAR, CRTSCTS, IXON | IXOFF},
      {{9600, 6, 0, 4, 3}, CS6, PARENB | CMSPAR, PARODD, 0},
  };
  for (const Case& c : cases) {
    termios t{};
    t.c_cflag = CRTSCTS | PARODD;  // stale flags must not survive
    ASSERT_TRUE(MakeSerialTermios(c.s, &t));
    EXPECT_EQ(t.c_cflag & CSIZE, c.size);
    EXPECT_EQ(t.c_cflag & c.cset, c.cset) << c.s.dataBits << c.s.parity;
    EXPECT_EQ(t.c_cflag & c.cclear, 0u) << c.s.dataBits << c.s.parity;
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), c.iset);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
  }
  struct Speed {
    int baud;
    speed_t speed;
  };
  for (const Speed sp : {Speed{2400, B2400}, Speed{4800, B4800}, Speed{9600, B9600}, Speed{19200, B19200},
                         Speed{38400, B38400}, Speed{57600, B57600}, Speed{115200, B115200}}) {
    termios t{};
    ASSERT_TRUE(MakeSerialTermios({sp.baud, 8, 0, 0, 3}, &t));
    EXPECT_EQ(cfgetospeed(&t), sp.speed);
    EXPECT_EQ(cfgetispeed(&t), sp.speed);
  }
  for (const SerialSettings bad :
       {SerialSettings{0, 8, 0, 0, 3}, SerialSettings{12345, 8, 0, 0, 3}, SerialSettings{9600, 9, 0, 0, 3},
        SerialSettings{9600, 8, 3, 0, 3}, SerialSettings{9600, 8, 0, 5, 3}}) {
    termios t{};
    errno = 0;
    EXPECT_FALSE(MakeSerialTermios(bad, &t));
    EXPECT_EQ(errno, EINVAL);
  }
}

TEST(Raster, TallPicturesGoInBands) {
  Raster r;
  r.widthBytes = 2;
  r.height = kRasterBandRows + 10;
  r.bits.assign(static_cast<size_t>(r.widthBytes * r.height), 0xAA);
  Bytes out;
  AppendRaster(&out, r, 3);
  ASSERT_EQ(out.size(), 2 * 8 + r.bits.size());
  const Bytes first = {0x1D, 0x76, 0x30, 3, 2, 0, 0, 1};  // 256 rows
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), first);
  const size_t second = 8 + 2 * kRasterBandRows;
  EXPECT_EQ(Bytes(out.begin() + static_cast<long>(second), out.begin() + static_cast<long>(second) + 8),
            (Bytes{0x1D, 0x76, 0x30, 3, 2, 0, 10, 0}));
}

TEST(Raster, OversizedAndBrokenImagesAreRefused) {
  // A BMP header claiming 100000 x 100000 pixels.
  std::string bmp(54, '\0');
  bmp[0] = 'B';
  bmp[1] = 'M';
  bmp[10] = 54;
  bmp[14] = 40;
  const uint32_t big = 100000;
  for (int i = 0; i < 4; ++i) {
    bmp[18 + i] = static_cast<char>(big >> (8 * i));
    bmp[22 + i] = static_cast<char>(big >> (8 * i));
  }
  bmp[26] = 1;
  bmp[28] = 24;
  Raster r;
  EXPECT_FALSE(DecodeRaster(bmp, 0, &r));
  EXPECT_FALSE(DecodeRaster(bmp.substr(0, 20), 0, &r));
  EXPECT_FALSE(DecodeRaster("", 0, &r));
  Bytes out;
  EXPECT_FALSE(AppendBarcode(&out, "", 8, 2, 50, 0, 0));
  EXPECT_FALSE(AppendBarcode(&out, std::string(256, '1'), 8, 2, 50, 0, 0));
  EXPECT_FALSE(AppendBarcode(&out, "1", 9, 2, 50, 0, 0));
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace possdk
