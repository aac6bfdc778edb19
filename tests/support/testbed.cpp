#include "support/testbed.h"

#include <gtest/gtest.h>

void testbed_add(UMockdevTestbed* testbed, const std::string& record) {
    GError* error = nullptr;
    gboolean added = umockdev_testbed_add_from_string(testbed, record.c_str(), &error);
    std::string reason = error != nullptr ? error->message : "";
    if (error != nullptr) {
        g_error_free(error);
    }
    ASSERT_TRUE(added) << reason << "\n" << record.substr(0, 200);
}
