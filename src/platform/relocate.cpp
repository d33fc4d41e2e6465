// The C runtime's start-up mends the addresses of data imported from DLLs
// (pseudo-relocations), with a kilobyte-sized mender that queries and
// changes page protections. The host imports functions only, and the link
// refuses any data import that would need mending, so there is nothing to
// mend: this empty routine takes the mender's place.
extern "C" void _pei386_runtime_relocator(void);  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

void _pei386_runtime_relocator(void)
{
}
