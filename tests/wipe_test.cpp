// No memory that held a PIN goes back to the allocator with the PIN still in it. This program
// replaces the global allocation functions to look into every block as it is released.
#include <malloc.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "ckhelper.h"
#include "support/fakestate.h"

namespace {

constexpr std::string_view kPin = "S3cr3t-PIN-4711";
std::atomic<bool> gWatching{false};
std::atomic<int> gReleasedWithPin{0};

// Looks at the bytes the block was asked for when the size is known: beyond them lie stale bytes
// of earlier owners.
void Inspect(void *block, std::size_t size)
{
    if (block != nullptr && gWatching.load()) {
        if (memmem(block, size, kPin.data(), kPin.size()) != nullptr) {
            ++gReleasedWithPin;
        }
    }
}

}  // namespace

void *operator new(std::size_t size)
{
    void *block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

void operator delete(void *block) noexcept
{
    Inspect(block, block != nullptr ? malloc_usable_size(block) : 0);
    std::free(block);
}

void operator delete(void *block, std::size_t size) noexcept
{
    Inspect(block, size);
    std::free(block);
}

namespace {

class PinWipeTest : public testsupport::FakeProviderTest {
protected:
    void SetUp() override
    {
        FakeProviderTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        fake_->logPins = false;
        fake_->tokens = {{0, "tok", std::string(kPin)}};
        gReleasedWithPin = 0;
    }
};

TEST_F(PinWipeTest, TheDetectorSeesAPinInAReleasedBlock)
{
    gWatching = true;
    delete new std::string("prefix long enough to live on the heap " + std::string(kPin));
    gWatching = false;
    EXPECT_EQ(gReleasedWithPin.load(), 1);
}

TEST_F(PinWipeTest, AReferencesPinIsWipedOnEveryPath)
{
    const std::string pin(kPin);
    for (const std::string &reference :
         {"tok(" + pin + ")/obj", "tok(" + pin + "/obj", "tok(" + pin + ")",
          "missing(" + pin + ")/obj", "tok(wrong" + pin + ")/obj"}) {
        gReleasedWithPin = 0;
        gWatching = true;
        CK_SESSION_HANDLE hSession = 0;
        OpenObjectByReference(reference.c_str(), CKO_DATA, nullptr, &hSession, nullptr);
        gWatching = false;
        EXPECT_EQ(gReleasedWithPin.load(), 0) << reference;
    }
    EXPECT_EQ(fake_->Calls(fakep11::Call::Login), 3U);
}

}  // namespace
