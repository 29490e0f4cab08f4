#include "message/message_scanner.hpp"

#include <gtest/gtest.h>
