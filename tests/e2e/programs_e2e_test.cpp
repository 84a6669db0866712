// Placeholder until the suite has its first cases.
#include <gtest/gtest.h>
