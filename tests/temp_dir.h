// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// A private directory for one test, removed with everything in it.
#pragma once

#include <string>

class temp_dir {
  public:
    temp_dir();
    ~temp_dir();
    const std::string &path() const { return path_; }
    // Writes a file below the directory and gives its full path.
    std::string write(const std::string &name, const std::string &contents) const;
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string read_file(const std::string &path);
