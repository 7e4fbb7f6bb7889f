// Program entry of the removal tool: the process-wide objects and main.
//
// The application object is the plain class-library one that console initialisation needs. The
// log is opened here, during start-up and before the main flow, in the current directory (not the
// program's); text mode stores every line feed as CR LF.
#include "sweeper.h"

CWinApp theApp;

crt::ofstream Rlog(".\\Rlog.txt", std::ios::out, _SH_DENYNO);

int main()
{
    return SweeperMain();
}
