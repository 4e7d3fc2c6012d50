' An add-in module in VBScript: it starts the global services, keeps a setting of its own, reads
' the configuration and takes a parameter file through the library's cache.
'
'   cscript //nologo module.vbs PARAMETER-FILE
'
' Run it where the add-in is installed: start-up finds the application directory the installer
' recorded and the user chosen last. The parameter file is one like examples\params\beam.pp.
'
' No member of MOLTRAGlobalClass raises: each answers a fallback (-1, "", False, Nothing), so a
' module checks results rather than trapping errors. classPP's UpdatePP is the exception, below.
Option Explicit

Dim g, r, v
Set g = CreateObject("VELMOSWGlobalLib.MOLTRAGlobalClass")

' --- Start-up: once per thread, before any other member, with the host's version.
r = g.MOLTRAG_Init("2010")
WScript.Echo "MOLTRAG_Init answered " & r
' 0 also when a directory was not found: look at the paths before relying on them.
If g.AppPath = "" Or g.UserPath = "" Then
  WScript.Echo "The add-in is not installed here, or no user was chosen."
  WScript.Quit 1
End If
WScript.Echo "Version " & g.Version & ", service pack " & g.MOLTRAG_GetServicePack()
WScript.Echo "Application directory " & g.AppPath
WScript.Echo "User directory " & g.UserPath

' --- Settings. A module keeps its own values among the user's Interface settings; an absent one
' reads as "".
Dim runs, count
runs = g.RegReadInterfaceValue("ExampleRuns")
count = 0
If runs <> "" Then count = CLng(runs)
If Not g.RegWriteInterfaceValue("ExampleRuns", CStr(count + 1)) Then
  WScript.Echo "Could not save ExampleRuns"
End If
WScript.Echo "ExampleRuns was '" & runs & "', now '" & g.RegReadInterfaceValue("ExampleRuns") & "'"

' The language is a property; writing it also stores it for the next start-up.
Dim before
before = g.Langue
g.Langue = 2
WScript.Echo "Language " & before & ", set to " & g.Langue
g.Langue = before

' --- The configuration: the user's velmo.cfg over the application's. Ask for it each time it is
' needed: the library reloads it when the user's file changed.
Dim cfg, section, text
Set cfg = g.VelmoCFG
If cfg Is Nothing Then
  WScript.Echo "No configuration"
  WScript.Quit 1
End If
WScript.Echo "Length in " & cfg.Value("Units", "Length") & " (the user's), angles in " & _
  cfg.Value("Units", "Angle") & " (the application's)"
If IsEmpty(cfg.Value("Units", "Mass")) Then WScript.Echo "No Units\Mass: Empty, not """""
' Sections and Names answer arrays of Strings from 0.
text = ""
For Each section In cfg.Sections()
  text = text & " [" & section & "]"
Next
WScript.Echo "Sections:" & text

' --- Parameter files. MOLTRAG_GetPP fills the variable passed as its second argument, which
' VBScript passes by reference; the document stays cached, and is reloaded when the file changes.
Dim file, pp, again, profile
file = WScript.Arguments(0)
r = g.MOLTRAG_GetPP(file, pp)
If r <> 0 Then
  WScript.Echo "MOLTRAG_GetPP answered " & r
  WScript.Quit 1
End If
profile = pp.Value("Profile")
WScript.Echo "Profile " & profile & ", length " & pp.Value("Length")
r = g.MOLTRAG_GetPP(file, again)
WScript.Echo "Asked again: the same document? " & (again Is pp)

' The geometry document knows each profile's dimensions.
WScript.Echo "Height of " & profile & ": " & g.GeometrieDat.Value(profile, "h")

' A file that does not exist answers -2 and empties the variable.
Dim fso, missing
Set fso = CreateObject("Scripting.FileSystemObject")
missing = fso.BuildPath(fso.GetParentFolderName(file), "none.pp")
r = g.MOLTRAG_GetPP(missing, again)
WScript.Echo "none.pp: answered " & r & ", variable is Nothing? " & (again Is Nothing)

' --- A parameter file kept outside the cache, in a classPP of the module's own. Its UpdatePP is
' the one member that raises: when the file has gone. Trap it around that one call.
Dim copy, entry
copy = fso.BuildPath(fso.GetSpecialFolder(2), fso.GetTempName())
fso.CopyFile file, copy
Set entry = CreateObject("VELMOSWGlobalLib.classPP")
WScript.Echo "LoadPP answered " & entry.LoadPP(copy) & ", handed out " & entry.nbAcces & " time(s)"
fso.DeleteFile copy
On Error Resume Next
r = entry.UpdatePP()
If Err.Number <> 0 Then WScript.Echo "UpdatePP raised: the parameter file has gone"
On Error GoTo 0

r = g.MOLTRAG_Close()
WScript.Echo "MOLTRAG_Close answered " & r
