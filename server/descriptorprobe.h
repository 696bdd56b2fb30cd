#pragma once

// Tells whether the process can still open a number of descriptors, by opening and closing
// them. Only a snapshot: other threads may take descriptors right after.
class DescriptorProbe
{
public:
    // openDescriptor: any descriptor that is open, to duplicate.
    static bool hasFree(int openDescriptor, int count);
};
