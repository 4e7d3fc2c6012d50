' What a call by name costs a script: properties and a method of VELMOSWGlobalLib, beside
' Scripting.Dictionary's Count, timed in the same script, in the same run.
'
'   cscript //nologo automation_calls.vbs [CALLS]
'
' Each figure is the best of several rounds of CALLS calls (a twentieth of them for the registry
' read), loop included; the empty loop is printed too. Timer ticks every few milliseconds, so
' CALLS should keep a round well above that. The library is started up with MOLTRAG_Init "2010" on whatever installation the
' registry names.
Option Explicit

Dim calls, rounds, d, g, x, name, countTime
calls = 50000
If WScript.Arguments.Count > 0 Then calls = CLng(WScript.Arguments(0))
rounds = 5

Set d = CreateObject("Scripting.Dictionary")
d.Add "a", 1
Set g = CreateObject("VELMOSWGlobalLib.MOLTRAGlobalClass")
If g.MOLTRAG_Init("2010") <> 0 Then WScript.Echo "warning: MOLTRAG_Init did not return 0"
name = "Langue"

' One round of case `what`: nanoseconds per call, loop included. A registry read goes to the
' Wine server each time: fewer of them keep a run short.
Function Round(what)
  Dim i, t, n
  n = calls
  If what = 5 Then n = calls \ 20
  t = Timer
  Select Case what
    Case 0
      For i = 1 To n : x = i : Next
    Case 1
      For i = 1 To n : x = d.Count : Next
    Case 2
      For i = 1 To n : x = g.Application : Next
    Case 3
      For i = 1 To n : x = g.Langue : Next
    Case 4
      For i = 1 To n : x = g.Version : Next
    Case 5
      For i = 1 To n : x = g.RegReadInterfaceValue(name) : Next
  End Select
  t = Timer - t
  If t < 0 Then t = t + 86400
  Round = t * 1E+9 / n
End Function

' A fresh prefix starts its own services with the first program and answers slowly for the
' first seconds: calls until that has passed, then the cases in turn, round after round, so that
' a slow moment falls on all of them alike; each keeps its best round.
Dim best(5), r, k, ns, start
start = Timer
Do While Timer - start < 3 And Timer >= start
  x = g.RegReadInterfaceValue(name)
Loop
For k = 0 To 5
  best(k) = 1E+300
Next
For r = 1 To rounds
  For k = 0 To 5
    ns = Round(k)
    If ns < best(k) Then best(k) = ns
  Next
Next
countTime = best(1)

Sub Report(label, ns)
  WScript.Echo Left(label & Space(40), 40) & Right(Space(8) & FormatNumber(ns, 0, , , 0), 8) & _
      " ns   " & FormatNumber(ns / countTime, 2) & "x Count"
End Sub

WScript.Echo Left("empty loop" & Space(40), 40) & Right(Space(8) & FormatNumber(best(0), 0, , , 0), 8) & " ns"
Report "Dictionary.Count", best(1)
Report "g.Application", best(2)
Report "g.Langue", best(3)
Report "g.Version", best(4)
Report "g.RegReadInterfaceValue(name)", best(5)
