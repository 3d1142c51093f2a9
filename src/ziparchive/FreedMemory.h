#pragma once

// Hands the free pages of the heap back to the system. Many small blocks freed together, such
// as libzip's records of a large archive, otherwise stay resident, and whatever is allocated
// next in larger blocks comes on top of them.
void ReturnFreedMemory();
