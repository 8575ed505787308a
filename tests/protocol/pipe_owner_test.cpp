// The pipe owner's check: on descriptors the test builds (Wine gives every
// process one token, so no other owner can be met for real), and on real
// pipes, whose owner Wine reads back as the creator's default owner unless
// the creator names one.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include "common/unique_resource.h"
#include "protocol/pipe_owner.h"

namespace {

TEST(PipeOwner, OnlyLocalSystemOwnsTheServicePipe) {
  const struct {
    const wchar_t* descriptor;
    bool localSystem;
  } cases[] = {
      {L"O:SYD:(A;;GA;;;SY)", true},
      {L"O:S-1-5-18D:(A;;GA;;;BA)", true},
      {L"O:BAD:(A;;GA;;;SY)", false},
      {L"O:S-1-5-21-1004336348-1177238915-682003330-1001D:(A;;GA;;;SY)", false},
      {L"O:LSD:(A;;GA;;;SY)", false},  // LocalService, S-1-5-19
      {L"D:(A;;GA;;;SY)", false},      // no owner at all
  };
  for (const auto& c : cases) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.descriptor, SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    const tovix::UniqueLocalMemory owned(descriptor);
    EXPECT_EQ(PipeOwnedByLocalSystem(descriptor), c.localSystem) << c.descriptor;
  }
  EXPECT_FALSE(PipeOwnedByLocalSystem(nullptr));
}

TEST(PipeOwner, IsReadFromTheOpenedPipe) {
  for (const bool namesSystem : {true, false}) {
    const wchar_t* sddl = namesSystem ? L"O:SYD:(A;;GA;;;WD)" : L"D:(A;;GA;;;WD)";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(
        ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr));
    const tovix::UniqueLocalMemory owned(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    const wchar_t kName[] = L"\\\\.\\pipe\\Kelpmarrow.Tovix.PipeOwnerTest";
    const tovix::UniqueFileHandle server(CreateNamedPipeW(
        kName, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE, PIPE_TYPE_MESSAGE, 1, 4096, 4096,
        0, &attributes));
    ASSERT_TRUE(server);
    const tovix::UniqueFileHandle client(CreateFileW(kName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                     OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(client);
    EXPECT_EQ(PipeOwnedBy(client.get()), namesSystem) << sddl;
  }
}

}  // namespace
