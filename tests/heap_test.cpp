// Once started, the relay allocates nothing: every allocation in this process is counted while a
// pass runs. A relay left running for months must not fragment or grow its heap.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "relay_fixture.h"

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void Count()
{
    if (counting) {
        allocations++;
    }
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)

// Under a sanitizer the allocator is the sanitizer's; it reports each allocation to a hook.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                         void (*)(const volatile void*));
namespace {
const int hooked = __sanitizer_install_malloc_and_free_hooks(
    [](const volatile void*, size_t) { Count(); }, [](const volatile void*) {});
}  // namespace

#else

// Otherwise this process's allocator is this one, which glibc lets a program supply: it hands
// out never-reused memory from a static arena and counts. Each block is preceded by its size.
namespace {

constexpr size_t Header = 16;
alignas(64) char arena[128 << 20];
std::atomic<size_t> used{0};

void* Allocate(size_t size, size_t alignment)
{
    Count();
    alignment = std::max(alignment, Header);
    size_t room = size + Header + alignment;
    size_t start = used.fetch_add((room + Header - 1) / Header * Header);
    if (start + room > sizeof arena) {
        return nullptr;
    }
    auto base = reinterpret_cast<uintptr_t>(arena + start) + Header;
    auto block = reinterpret_cast<char*>((base + alignment - 1) / alignment * alignment);
    std::memcpy(block - Header, &size, sizeof size);
    return block;
}

size_t SizeOf(void* block)
{
    size_t size;
    std::memcpy(&size, static_cast<char*>(block) - Header, sizeof size);
    return size;
}

}  // namespace

extern "C" {
void* malloc(size_t size)
{
    return Allocate(size, Header);
}
void free(void*) {}
void* calloc(size_t count, size_t size)
{
    return Allocate(count * size, Header);
}  // arena is zero
void* realloc(void* old, size_t size)
{
    void* block = Allocate(size, Header);
    if (old != nullptr && block != nullptr) {
        std::memcpy(block, old, std::min(size, SizeOf(old)));
    }
    return block;
}
void* memalign(size_t alignment, size_t size)
{
    return Allocate(size, alignment);
}
void* aligned_alloc(size_t alignment, size_t size)
{
    return Allocate(size, alignment);
}
int posix_memalign(void** block, size_t alignment, size_t size)
{
    *block = Allocate(size, alignment);
    return *block != nullptr ? 0 : ENOMEM;
}
void* valloc(size_t size)
{
    return Allocate(size, 4096);
}
void* pvalloc(size_t size)
{
    return Allocate((size + 4095) / 4096 * 4096, 4096);
}
size_t malloc_usable_size(void* block)
{
    return block != nullptr ? SizeOf(block) : 0;
}
}

#endif

namespace {

using namespace relay_test;

// A pass, run once what it is to find has arrived, with every allocation counted.
void CountedPass(int fd, short events = POLLIN)
{
    ASSERT_TRUE(support::WaitFor(fd, events));
    counting = true;
    relay::Poll();
    counting = false;
}

TEST_F(RelayTest, PassesAfterStartUpAllocateNothing)
{
    counting = true;
    void* volatile probe = std::malloc(24);
    std::free(probe);
    counting = false;
    ASSERT_EQ(allocations, 1) << "allocations are not being counted";
    allocations = 0;

    int first = Client("127.3.2.1");
    CountedPass(relay::tcpsock);
    int second = Client();
    CountedPass(relay::tcpsock);
    support::SendDatagram(static_cast<uint16_t>(relay::UDPPort), "$GPGGA*00\r\n");
    CountedPass(relay::udpsock);
    send(first, "text %s\r\n", 9, 0);
    CountedPass(relay::Sockets[1].Handle);
    send(first, "!", 1, MSG_OOB);
    CountedPass(relay::Sockets[1].Handle, POLLPRI);
    Close(second);
    CountedPass(relay::Sockets[2].Handle);
    counting = true;
    relay::Poll();  // idle
    counting = false;

    EXPECT_EQ(log.All(), Connected(1, "127.3.2.1") + Connected(2) + "text %s\r\n" +
                             Disconnected(1) + Disconnected(2));
    EXPECT_EQ(allocations, 0);
}

}  // namespace
