// Binding of the host agent library, the Init/Deinit count and the gate.
#include <gtest/gtest.h>

#include "support.h"

using namespace testsupport;

namespace {

const std::string kVersionQuery =
    R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_PRODUCT_VERSION"})";

TEST(Binding, SignedAgentWithIntegrityFlagBindsAndServesQueries) {
    LogCollector log;
    HostAgent agent;
    ProductDll dll;
    ASSERT_NE(dll.module, nullptr);
    dll.Init();
    EXPECT_TRUE(log.WaitFor("VornAgent dll's signer is Corvask, Inc.", std::chrono::seconds(5)));
    const std::string response = dll.Query(kVersionQuery);
    EXPECT_NE(response.find("\"product_id\" : \"VORN_IPRODUCT_IKX\""), std::string::npos) << response;
    dll.Deinit();
}

}  // namespace
