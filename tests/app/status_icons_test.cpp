#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QPainter>

#include "app/common/StatusIcons.h"
#include "support/WidgetApp.h"

namespace {

enum class Lamp { Dark, Red, Yellow, Green };

// A lit lamp is bright in its own hue; an unlit one is a dim version of it.
Lamp classify(QColor c) {
    if (c.value() < 140)
        return Lamp::Dark;
    if (c.red() > 200 && c.green() < 120)
        return Lamp::Red;
    if (c.red() > 200 && c.green() > 150 && c.blue() < 120)
        return Lamp::Yellow;
    if (c.green() > 180 && c.red() < 140)
        return Lamp::Green;
    return Lamp::Dark;
}

struct Case {
    HostStatus status;
    const char* large;
    const char* small;
    Lamp top, middle, bottom;
};

const Case kCases[] = {
    {HostStatus::NA, "MAINICON", "MAINICONSMALL", Lamp::Dark, Lamp::Dark, Lamp::Dark},
    {HostStatus::Bad, "MAINICONR", "MAINICONRSMALL", Lamp::Red, Lamp::Dark, Lamp::Dark},
    {HostStatus::Average, "MAINICONY", "MAINICONYSMALL", Lamp::Dark, Lamp::Yellow, Lamp::Dark},
    {HostStatus::Good, "MAINICONG", "MAINICONGSMALL", Lamp::Dark, Lamp::Dark, Lamp::Green},
};

// Lamp centres of the drawing at `size` pixels: a third of the height apart, on the vertical axis.
void expectLamps(const QImage& image, const Case& c, const char* what) {
    int size = image.width();
    int x = size / 2;
    int ys[] = {size * 3 / 16, size / 2, size * 13 / 16};
    Lamp want[] = {c.top, c.middle, c.bottom};
    for (int i = 0; i < 3; ++i) {
        QColor px = image.pixelColor(x, ys[i]);
        EXPECT_EQ(classify(px), want[i]) << what << " " << size << " px, " << c.status << ", lamp " << i << " is "
                                         << px.name().toStdString();
    }
}

class StatusIconsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { widgetApp(); }
};

TEST_F(StatusIconsTest, EachStatusLightsItsLamp) {
    for (const Case& c : kCases) {
        EXPECT_EQ(StatusIcons::largeName(c.status), QString::fromUtf8(c.large));
        EXPECT_EQ(StatusIcons::smallName(c.status), QString::fromUtf8(c.small));
        for (int size : {16, 32}) {
            QImage small = StatusIcons::small(c.status).pixmap(size, size).toImage();
            ASSERT_EQ(small.size(), QSize(size, size)) << c.status;
            expectLamps(small, c, "small");
        }
        for (int size : {16, 32, 64}) {
            QImage large = StatusIcons::large(c.status).pixmap(size, size).toImage();
            ASSERT_EQ(large.size(), QSize(size, size)) << c.status;
            expectLamps(large, c, "large");
        }
    }
}

TEST_F(StatusIconsTest, TraySizedIconsDifferPerStatus) {
    QList<QImage> seen;
    for (const Case& c : kCases) {
        QImage image = StatusIcons::small(c.status).pixmap(16, 16).toImage();
        EXPECT_FALSE(seen.contains(image)) << c.status;
        seen.append(image);
    }
}

TEST_F(StatusIconsTest, DoubleResolutionIsDrawnNotScaled) {
    // A 16 px icon upscaled to 32 would repeat every pixel in 2 x 2 blocks.
    QImage hi = StatusIcons::small(HostStatus::Good).pixmap(QSize(16, 16), 2.0).toImage();
    ASSERT_EQ(hi.size(), QSize(32, 32));
    int differing = 0;
    for (int y = 0; y < 32; y += 2)
        for (int x = 0; x < 32; x += 2)
            differing += hi.pixel(x, y) != hi.pixel(x + 1, y + 1) ? 1 : 0;
    EXPECT_GT(differing, 20);
}

// Not a check: with OSTREVO_SHOT_DIR set, writes every icon at 16, 32 and 64 px for a look.
TEST_F(StatusIconsTest, Sheet) {
    QString dir = qEnvironmentVariable("OSTREVO_SHOT_DIR");
    if (dir.isEmpty())
        GTEST_SKIP() << "set OSTREVO_SHOT_DIR to write the icon sheet";
    for (QColor background : {QColor(236, 236, 236), QColor(48, 48, 48)}) {
        QImage sheet(8 * 72, 72, QImage::Format_ARGB32);
        sheet.fill(background);
        QPainter p(&sheet);
        int x = 4;
        for (const Case& c : kCases) {
            p.drawPixmap(x, 4, StatusIcons::small(c.status).pixmap(16, 16));
            p.drawPixmap(x + 20, 4, StatusIcons::large(c.status).pixmap(32, 32));
            p.drawPixmap(x + 56, 4, StatusIcons::large(c.status).pixmap(64, 64));
            x += 128;
        }
        p.end();
        QString file = QStringLiteral("icons-%1.png")
                           .arg(background.lightness() > 128 ? QStringLiteral("light") : QStringLiteral("dark"));
        EXPECT_TRUE(sheet.save(QDir(dir).filePath(file)));
    }
}

} // namespace
