// Tests for this module arrive with the module.
#include <gtest/gtest.h>
