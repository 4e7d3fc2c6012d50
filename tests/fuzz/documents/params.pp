Height = 120
width=80
HEIGHT = 999
[ignored]
