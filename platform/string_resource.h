#pragma once

// Copies string resource `id` into `buffer`, cut to `size` - 1 characters.
// Returns the number of characters copied, 0 when there is no such string.
int LoadStringA(unsigned id, char* buffer, int size);
