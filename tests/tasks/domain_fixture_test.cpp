// The fixture itself: the demo back end answers a signed-in pair of proxies.
#include "domain_fixture.h"

namespace brevalon::testing {
namespace {

TEST_F(DomainTest, ProxiesSignInToBothServers) {
  auto p = Proxies("petrova");
  EXPECT_GT(p.WorkFlow->ID_User(), 0);
}

}  // namespace
}  // namespace brevalon::testing
