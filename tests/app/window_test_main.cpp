// The window tests need one QApplication for the whole run, made before the
// first test and gone before the process's static objects are torn down.
#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char* argv[])
{
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
