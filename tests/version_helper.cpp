// A program that only exists to have its version record read by the tests.
int main()
{
    return 0;
}
