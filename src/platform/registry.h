// The registry operations that value editing needs: open an existing key,
// read a value with its type, replace a value's data, close the key.
// On Windows these are the registry's own W functions; elsewhere they work
// on a folder tree of our own, described in doc/reference.md.
//
// Names and string data are the program's text (see text/unicode.h):
// on Windows a REG_SZ or REG_EXPAND_SZ value's UTF-16 is read and written as
// UTF-8, with its terminating NUL as one zero byte; other types, and every
// value elsewhere, are their stored bytes.
//
// Errors: as platform/failure.h says; none creates a key or a value. The
// environment announcement is best effort: it reports nothing.
#pragma once

#include <cstdint>
#include <string>

#include "platform/failure.h"

namespace platform {

// The predefined root keys, with the values of their handles.
enum class RootKey : uint32_t {
  kClassesRoot = 0x80000000,
  kCurrentUser = 0x80000001,
  kLocalMachine = 0x80000002,
  kUsers = 0x80000003,
  kCurrentConfig = 0x80000005,
};

// Value types, numbered as the registry numbers them.
enum RegType : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegDwordBigEndian = 5,
  kRegLink = 6,
  kRegMultiSz = 7,
  kRegResourceList = 8,
  kRegFullResourceDescriptor = 9,
  kRegResourceRequirementsList = 10,
  kRegQword = 11,
};

struct RegKey;  // an open key

// Opens the existing key `subkey` below `root` for reading and writing; an
// empty subkey opens the root key itself. Where the registry is our own
// store, the open key is locked against other runs of the tool until it is
// closed: opening waits 30 s at most for another run that holds it, then
// fails.
Status OpenRegKey(RootKey root, const std::string& subkey, RegKey** key);

// Closes a key that OpenRegKey opened.
void CloseRegKey(RegKey* key);

// Reads the value `name` of `key` ("" is the key's default value) as
// RegQueryValueEx does: stores its type in *type; with `data` null, stores
// the byte count of its data in *size; otherwise copies the data into `data`,
// which holds *size bytes, and stores the count copied in *size. Fails for a
// missing value and for data larger than *size.
Status QueryRegValue(RegKey* key, const std::string& name, uint32_t* type, unsigned char* data,
                     uint32_t* size);

// Replaces the data of the existing value `name` of `key`, which keeps the
// type `type`, with `size` bytes from `data`.
Status SetRegValue(RegKey* key, const std::string& name, uint32_t type, const unsigned char* data,
                   uint32_t size);

// Tells running programs that the environment variables stored in the
// registry have changed. Returns within about 2 seconds however many programs
// listen and however slowly they answer; those not reached by then are left
// alone. Call it with no key open. Does nothing where nobody listens.
void AnnounceEnvironmentChange();

}  // namespace platform
