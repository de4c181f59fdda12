// Draws the skin's pictures: the application icon, the placeholder store
// logo and the waiting animation (an animated GIF written by hand, since
// Qt reads GIF but does not write it).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace {

const QColor kBlue(0x25, 0x63, 0xEB);
const QColor kSky(0x0E, 0xA5, 0xE9);

// A receipt with a cloud-arrow: the product's mark.
void DrawMark(QPainter& p, const QRectF& box, const QColor& paper, const QColor& ink) {
  const qreal w = box.width();
  const qreal x = box.x() + w * 0.28, y = box.y() + w * 0.18, rw = w * 0.44, rh = w * 0.62;
  QPainterPath receipt;
  receipt.moveTo(x, y);
  receipt.lineTo(x + rw, y);
  receipt.lineTo(x + rw, y + rh);
  const int teeth = 5;
  for (int i = 0; i < teeth; ++i) {
    const qreal step = rw / teeth;
    receipt.lineTo(x + rw - step * (i + 0.5), y + rh - w * 0.05);
    receipt.lineTo(x + rw - step * (i + 1), y + rh);
  }
  receipt.closeSubpath();
  p.setPen(Qt::NoPen);
  p.setBrush(paper);
  p.drawPath(receipt);
  p.setPen(QPen(ink, w * 0.035, Qt::SolidLine, Qt::RoundCap));
  for (int i = 0; i < 3; ++i) {
    const qreal ly = y + w * (0.14 + 0.1 * i);
    p.drawLine(QPointF(x + w * 0.08, ly), QPointF(x + rw - w * (i == 2 ? 0.18 : 0.08), ly));
  }
  // Upward arrow: the receipt goes to the cloud.
  p.setPen(QPen(ink, w * 0.045, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  const qreal ax = x + rw / 2, ay0 = y + rh - w * 0.1, ay1 = y + w * 0.38;
  p.drawLine(QPointF(ax, ay0), QPointF(ax, ay1));
  p.drawLine(QPointF(ax, ay1), QPointF(ax - w * 0.07, ay1 + w * 0.07));
  p.drawLine(QPointF(ax, ay1), QPointF(ax + w * 0.07, ay1 + w * 0.07));
}

QImage AppIcon(int size) {
  QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::transparent);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient g(0, 0, size, size);
  g.setColorAt(0, kBlue);
  g.setColorAt(1, kSky);
  p.setBrush(g);
  p.setPen(Qt::NoPen);
  p.drawRoundedRect(QRectF(size * 0.04, size * 0.04, size * 0.92, size * 0.92), size * 0.22, size * 0.22);
  DrawMark(p, QRectF(0, 0, size, size), Qt::white, kBlue);
  return img;
}

QImage Avatar(int size) {
  QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
  img.fill(QColor(0xEF, 0xF6, 0xFF));
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  // A shop front: awning stripes over a door and a window.
  const qreal s = size;
  const QRectF awning(s * 0.16, s * 0.22, s * 0.68, s * 0.16);
  for (int i = 0; i < 5; ++i) {
    p.setBrush(i % 2 ? QColor(Qt::white) : kBlue);
    p.setPen(Qt::NoPen);
    const qreal sw = awning.width() / 5;
    QPainterPath scallop;
    scallop.setFillRule(Qt::WindingFill);
    scallop.addRect(awning.x() + sw * i, awning.y(), sw, awning.height());
    scallop.addEllipse(QPointF(awning.x() + sw * (i + 0.5), awning.bottom()), sw / 2, sw / 2.4);
    p.drawPath(scallop);
  }
  p.setBrush(QColor(0xBF, 0xDB, 0xFE));
  p.drawRect(QRectF(s * 0.2, s * 0.44, s * 0.6, s * 0.36));
  p.setBrush(kBlue);
  p.drawRoundedRect(QRectF(s * 0.26, s * 0.52, s * 0.18, s * 0.28), s * 0.02, s * 0.02);
  p.setBrush(Qt::white);
  p.drawRoundedRect(QRectF(s * 0.52, s * 0.52, s * 0.22, s * 0.14), s * 0.02, s * 0.02);
  p.setPen(QPen(QColor(0x93, 0xC5, 0xFD), s * 0.02));
  p.drawLine(QPointF(s * 0.14, s * 0.8), QPointF(s * 0.86, s * 0.8));
  return img;
}

// The chevron of the combo boxes, drawn at twice its shown size.
QImage ComboArrow() {
  QImage img(24, 24, QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::transparent);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0x64, 0x74, 0x8B), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawPolyline(QPolygonF({QPointF(5, 9), QPointF(12, 16), QPointF(19, 9)}));
  return img;
}

// One frame of the spinner: twelve dots, the head darkest.
QImage SpinnerFrame(int size, int frame, int frames) {
  QImage img(size, size, QImage::Format_ARGB32);
  img.fill(Qt::white);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  const qreal c = size / 2.0, r = size * 0.36, dot = size * 0.075;
  for (int i = 0; i < frames; ++i) {
    const int age = (frame - i + frames) % frames;  // 0 = head
    const qreal a = 2 * M_PI * i / frames - M_PI / 2;
    QColor col = kBlue;
    col.setAlphaF(std::max(0.12, 1.0 - age * 0.085));
    p.setBrush(col);
    p.drawEllipse(QPointF(c + r * std::cos(a), c + r * std::sin(a)), dot * (age == 0 ? 1.25 : 1.0),
                  dot * (age == 0 ? 1.25 : 1.0));
  }
  return img;
}

// Every colour of a spinner frame lies between white and kBlue: the
// palette is that ramp, 256 steps.
uint8_t RampIndex(QRgb px) {
  const double t = (255.0 - qRed(px)) / (255.0 - kBlue.red());
  const long i = std::lround(std::clamp(t, 0.0, 1.0) * 255.0);
  return static_cast<uint8_t>(i);
}

void Put16(std::string& out, int v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}

// Image data with 9-bit codes and a clear code before the table would
// grow: no compression, but every decoder reads it.
std::string LzwUncompressed(const std::vector<uint8_t>& pixels) {
  std::string bytes;
  uint32_t acc = 0;
  int bits = 0;
  auto put = [&](int code) {
    acc |= static_cast<uint32_t>(code) << bits;
    bits += 9;
    while (bits >= 8) {
      bytes += static_cast<char>(acc & 0xFF);
      acc >>= 8;
      bits -= 8;
    }
  };
  const int clear = 256, eoi = 257;
  int run = 0;
  put(clear);
  for (uint8_t px : pixels) {
    if (run == 254) {
      put(clear);
      run = 0;
    }
    put(px);
    ++run;
  }
  put(eoi);
  if (bits > 0) bytes += static_cast<char>(acc & 0xFF);
  std::string out;
  out += static_cast<char>(8);  // minimum code size
  for (size_t i = 0; i < bytes.size(); i += 255) {
    const size_t n = std::min<size_t>(255, bytes.size() - i);
    out += static_cast<char>(n);
    out.append(bytes, i, n);
  }
  out += '\0';
  return out;
}

bool WriteSpinnerGif(const QString& path, int size, int frames, int delayCs) {
  std::string gif = "GIF89a";
  Put16(gif, size);
  Put16(gif, size);
  gif += static_cast<char>(0xF7);  // global table, 8 bits, 256 entries
  gif += '\0';
  gif += '\0';
  for (int i = 0; i < 256; ++i) {
    const double t = i / 255.0;
    gif += static_cast<char>(std::lround(255 - t * (255 - kBlue.red())));
    gif += static_cast<char>(std::lround(255 - t * (255 - kBlue.green())));
    gif += static_cast<char>(std::lround(255 - t * (255 - kBlue.blue())));
  }
  // Loop forever.
  gif += "\x21\xFF\x0BNETSCAPE2.0\x03\x01";
  Put16(gif, 0);
  gif += '\0';
  for (int f = 0; f < frames; ++f) {
    const QImage img = SpinnerFrame(size, f, frames);
    gif += "\x21\xF9\x04";
    gif += static_cast<char>(0x04);  // dispose: leave, no transparency
    Put16(gif, delayCs);
    gif += '\0';
    gif += '\0';
    gif += ',';
    Put16(gif, 0);
    Put16(gif, 0);
    Put16(gif, size);
    Put16(gif, size);
    gif += '\0';
    std::vector<uint8_t> pixels;
    pixels.reserve(static_cast<size_t>(size) * size);
    for (int y = 0; y < size; ++y)
      for (int x = 0; x < size; ++x) pixels.push_back(RampIndex(img.pixel(x, y)));
    gif += LzwUncompressed(pixels);
  }
  gif += ';';
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return false;
  return file.write(gif.data(), static_cast<qint64>(gif.size())) == static_cast<qint64>(gif.size());
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QGuiApplication app(argc, argv);
  const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
  bool ok = AppIcon(256).save(dir + "/app_icon.png");
  ok = Avatar(256).save(dir + "/avatar_default.png") && ok;
  ok = ComboArrow().save(dir + "/combo_arrow.png") && ok;
  ok = WriteSpinnerGif(dir + "/waiting.gif", 64, 12, 8) && ok;
  std::printf("%s\n", ok ? "skin pictures written" : "writing failed");
  return ok ? 0 : 1;
}
