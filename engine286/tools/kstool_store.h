// kstool's store commands: `kstool create FILE` writes a store exactly as the client creates
// its local store (the eight registered tables, all empty); `kstool check FILE` runs the
// integrity check on a store and prints every fault. Both return the process exit status:
// 0 on success, 1 on any fault or failure.
#pragma once

int kstoolCreate(const char* path);
int kstoolCheck(const char* path);
