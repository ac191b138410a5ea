// Entry of the test programs: the toolkit is initialised once per process.
#include <gtest/gtest.h>
#include <wx/init.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    wxInitializer toolkit(argc, argv);
    if (!toolkit.IsOk())
        return 1;
    return RUN_ALL_TESTS();
}
