#include <gtest/gtest.h>
#include "d88_image.h"
TEST(Placeholder, Builds) { SUCCEED(); }
