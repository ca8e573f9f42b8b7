// Batch mode silences Echo, not the standard streams, whose Line and Column
// count what went through them.
// options: --batch
//> out:0 1,1
//> 2,1
//>
//> é😀 4,4
//> echo again
WScript.Echo("not shown");
var out = WScript.StdOut;
out.Write("out:" + (WScript.Interactive ? 1 : 0) + " " + out.Line + "," + out.Column);
out.WriteLine();
out.WriteLine(out.Line + "," + out.Column);
out.WriteBlankLines(1);
out.Write("\u00e9\uD83D\uDE00");
out.WriteLine(" " + out.Line + "," + out.Column);
WScript.StdErr.Write("e");
if (WScript.StdErr.Column != 2 || WScript.StdErr.Line != 1) out.WriteLine("StdErr counts wrong");
WScript.Interactive = true;
WScript.Echo("echo again");
