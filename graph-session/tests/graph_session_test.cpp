// placeholder
#include <gtest/gtest.h>
TEST(GraphSession, Builds) {}
