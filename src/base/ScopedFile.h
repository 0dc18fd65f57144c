#pragma once
// A C stream closed when its owner goes. (Descriptors have platform::ScopedFd.)

#include <cstdio>
#include <memory>

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using ScopedFile = std::unique_ptr<FILE, FileCloser>;
