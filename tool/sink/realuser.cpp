#include "sink/realuser.h"

#include <linux/capability.h>
#include <sys/auxv.h>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace randdump {
namespace {

// The calling thread's capabilities, read or set through the system calls themselves.
struct Capabilities {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> data{};

    bool Get() { return syscall(SYS_capget, &header, data.data()) == 0; }
    bool Set() { return syscall(SYS_capset, &header, data.data()) == 0; }
};

}  // namespace

// setfsuid() and setfsgid() act on the calling thread only, and when the file system user
// changes from root to another, the kernel also drops the capabilities that override file
// permissions; a copy with file capabilities keeps them whatever its file system user, so they
// are set aside too.
AsRealUser::AsRealUser() : privileged_(getauxval(AT_SECURE) != 0), user_(geteuid())
{
    if (privileged_) {
        setfsgid(getgid());
        setfsuid(getuid());
        user_ = getuid();
        Capabilities capabilities;
        if (capabilities.Get()) {
            for (std::size_t i = 0; i < effective_.size(); ++i) {
                effective_.at(i) = capabilities.data.at(i).effective;
                capabilities.data.at(i).effective = 0;
            }
            capabilities.Set();
        }
    }
}

AsRealUser::~AsRealUser()
{
    if (privileged_) {
        Capabilities capabilities;
        if (capabilities.Get()) {
            for (std::size_t i = 0; i < effective_.size(); ++i) {
                capabilities.data.at(i).effective = effective_.at(i);
            }
            capabilities.Set();
        }
        setfsuid(geteuid());
        setfsgid(getegid());
    }
}

}  // namespace randdump
