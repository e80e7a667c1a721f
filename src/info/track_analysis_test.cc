#include "info/track_analysis.h"

#include <gtest/gtest.h>
