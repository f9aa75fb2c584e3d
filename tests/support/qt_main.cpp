// Test main for tests that need a Qt application object (widgets, timers,
// the main-thread hand-off). The platform is offscreen under CTest.
#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
