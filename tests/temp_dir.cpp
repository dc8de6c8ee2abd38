// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "temp_dir.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <ftw.h>

temp_dir::temp_dir()
{
    char tmpl[] = "/tmp/pctest.XXXXXX";
    char *dir = mkdtemp(tmpl);
    path_ = dir ? dir : "/tmp";
}

static int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

temp_dir::~temp_dir()
{
    if (path_ != "/tmp")
        nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string temp_dir::write(const std::string &name, const std::string &contents) const
{
    std::string full = path_ + "/" + name;
    std::string dir = full.substr(0, full.rfind('/'));
    for (size_t i = path_.size() + 1; i < dir.size() + 1; i++)
        if (i == dir.size() || dir[i] == '/')
            mkdir(dir.substr(0, i).c_str(), 0755);
    std::ofstream out(full, std::ios::binary);
    out << contents;
    return full;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}
