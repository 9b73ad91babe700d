package org.example.launched;

/** A class of the jar its manifest's Class-Path names. */
public final class LaunchedDep {
    public static String name() {
        return "LaunchedDep from libs/launched-dep.jar";
    }

    private LaunchedDep() {}
}
