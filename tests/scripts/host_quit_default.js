// WScript.Quit() without a code exits with 0.
WScript.Quit();
throw new Error("still running after Quit");
