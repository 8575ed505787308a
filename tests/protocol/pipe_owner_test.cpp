// The pipe owner's check, on descriptors the test builds: under Wine every
// process has one token and a pipe's owner reads back as the creator's
// default owner (S-1-5-21-0-0-0-513) unless the creator names one.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include "common/unique_resource.h"
#include "protocol/pipe_owner.h"

TEST(PipeOwner, OnlyLocalSystemOwnsTheServicePipe) {
  const std::pair<const wchar_t*, bool> cases[] = {
      {L"O:SYD:(A;;GA;;;SY)", true},  {L"O:S-1-5-18D:(A;;GA;;;BA)", true},
      {L"O:BAD:(A;;GA;;;SY)", false}, {L"O:S-1-5-21-1-2-3-1001D:(A;;GA;;;SY)", false},
      {L"O:LSD:(A;;GA;;;SY)", false}, {L"D:(A;;GA;;;SY)", false}};
  for (const auto& [sddl, localSystem] : cases) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    const tovix::UniqueLocalMemory owned(descriptor);
    EXPECT_EQ(PipeOwnedByLocalSystem(descriptor), localSystem) << sddl;
  }
  EXPECT_FALSE(PipeOwnedByLocalSystem(nullptr));
}
