// Holds the precompiled Qt and QtTest headers that the tests reuse.
