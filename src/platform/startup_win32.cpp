// The C runtime reads this before main: 0 hands main the arguments exactly as
// Windows splits the command line, without expanding wildcards, so that
// "*.txt" names a file called *.txt.
extern "C" {
int _dowildcard = 0;
}
